#include "record/codec/compressor_settings.h"

#include <cstring>

namespace media {

namespace {
constexpr char kStateMagic[] = "KCS1\n";
constexpr int32_t kMaxStateSize = 4096;
}  // namespace

CompressorSettings::CompressorSettings(const char* encoder, const std::vector<OptionSpec>& specs)
    : encoder_(encoder), specs_(specs) {
    for (const OptionSpec& o : specs_) values_.emplace_back(o.defaultValue);
}

const OptionSpec* CompressorSettings::spec(const std::string& key) const {
    for (const OptionSpec& o : specs_)
        if (key == o.key) return &o;
    return nullptr;
}

bool CompressorSettings::valueAllowed(const OptionSpec& spec, const std::string& value) {
    if (!spec.choices.empty()) {
        for (const char* c : spec.choices)
            if (value == c) return true;
        return false;
    }
    if (value.empty() || value.size() > 9) return false;
    int32_t n = 0;
    size_t i = value[0] == '-' ? 1 : 0;
    if (i == value.size()) return false;
    for (; i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9') return false;
        n = n * 10 + (value[i] - '0');
    }
    if (value[0] == '-') n = -n;
    return n >= spec.minValue && n <= spec.maxValue;
}

std::string CompressorSettings::block() {
    std::string text = kStateMagic;
    text += "encoder=";
    text += encoder_;
    text += '\n';
    for (size_t i = 0; i < specs_.size(); ++i) {
        text += specs_[i].key;
        text += '=';
        text += values_[i];
        text += '\n';
    }
    return text;
}

HRESULT CompressorSettings::getState(uint8_t* buffer, int32_t* size) {
    if (!size) return E_POINTER;
    std::lock_guard lock(mutex_);
    const std::string text = block();
    if (!buffer) {
        *size = static_cast<int32_t>(text.size());
        return S_OK;
    }
    if (*size < static_cast<int32_t>(text.size())) return E_INVALIDARG;
    std::memcpy(buffer, text.data(), text.size());
    *size = static_cast<int32_t>(text.size());
    return S_OK;
}

HRESULT CompressorSettings::setState(const uint8_t* buffer, int32_t size) {
    if (!buffer) return E_POINTER;
    if (size <= 0 || size > kMaxStateSize) return E_INVALIDARG;
    std::string text(reinterpret_cast<const char*>(buffer), static_cast<size_t>(size));
    const size_t magic = sizeof kStateMagic - 1;
    if (text.compare(0, magic, kStateMagic) != 0 || text.back() != '\n' || text.find('\0') != std::string::npos)
        return E_INVALIDARG;
    // Parse everything first; only a block that is valid throughout is applied.
    std::vector<std::string> values(specs_.size());
    std::vector<bool> seen(specs_.size(), false);
    bool encoderSeen = false;
    size_t pos = magic;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos) return E_INVALIDARG;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (!encoderSeen) {
            if (key != "encoder" || value != encoder_) return E_INVALIDARG;
            encoderSeen = true;
            continue;
        }
        const OptionSpec* s = spec(key);
        if (!s) return E_INVALIDARG;
        size_t index = static_cast<size_t>(s - specs_.data());
        if (seen[index] || !valueAllowed(*s, value)) return E_INVALIDARG;
        seen[index] = true;
        values[index] = value;
    }
    if (!encoderSeen) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < values.size(); ++i)
        if (seen[i]) values_[i] = values[i];
    return S_OK;
}

std::vector<CompressorOption> CompressorSettings::options() {
    std::lock_guard lock(mutex_);
    std::vector<CompressorOption> list;
    for (size_t i = 0; i < specs_.size(); ++i) {
        const OptionSpec& s = specs_[i];
        CompressorOption o;
        o.key = s.key;
        o.label = s.label;
        for (const char* c : s.choices) o.choices.emplace_back(c);
        o.minValue = s.minValue;
        o.maxValue = s.maxValue;
        o.value = values_[i];
        list.push_back(std::move(o));
    }
    return list;
}

HRESULT CompressorSettings::setOption(const std::string& key, const std::string& value) {
    const OptionSpec* s = spec(key);
    if (!s || !valueAllowed(*s, value)) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    values_[static_cast<size_t>(s - specs_.data())] = value;
    return S_OK;
}

std::vector<std::string> CompressorSettings::values() {
    std::lock_guard lock(mutex_);
    return values_;
}

}  // namespace media
