#pragma once
// A compressor's options and the state block that carries them: "KCS1\n",
// "encoder=<name>\n", then "<key>=<value>\n" for every option in order.
// Shared by every compressor, so a block saved by one version of a
// compressor loads in the next.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "record/hresult.h"
#include "record/media.h"

namespace media {

struct OptionSpec {
    const char* key;    // the option's name in the state block
    const char* label;  // shown in the configuration box
    std::vector<const char*> choices;  // empty: a whole number in min..max
    int32_t minValue;
    int32_t maxValue;
    const char* defaultValue;
};

// Thread-safe: the UI thread edits, the graph reads when it connects.
class CompressorSettings {
public:
    CompressorSettings(const char* encoder, const std::vector<OptionSpec>& specs);

    // With no buffer, *size receives the block's size; a buffer smaller
    // than the block is refused.
    HRESULT getState(uint8_t* buffer, int32_t* size);
    // Only a block of this encoder that is valid throughout is applied;
    // options it does not name keep their values.
    HRESULT setState(const uint8_t* buffer, int32_t size);
    std::vector<CompressorOption> options();
    HRESULT setOption(const std::string& key, const std::string& value);
    // The current values, in the order of the specs.
    std::vector<std::string> values();

private:
    std::string block();  // with mutex_ held
    const OptionSpec* spec(const std::string& key) const;
    static bool valueAllowed(const OptionSpec& spec, const std::string& value);

    const char* encoder_;
    const std::vector<OptionSpec>& specs_;
    std::mutex mutex_;
    std::vector<std::string> values_;  // guarded by mutex_
};

}  // namespace media
