// The update's files: image files looked up in the firmware folders, the
// kept board data record, and the state folder it lives in.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "../tools/synthetic_image.h"
#include "firmware/firmware_resources.h"
#include "firmware/firmware_update.h"
#include "firmware/kept_board_data.h"
#include "firmware/update_failure.h"
#include "sim_link.h"
#include "support/debug_capture.h"
#include "support/private_folders.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

void writeFile(const std::string& path, const Bytes& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool boardDataIntact(const SimLink& link) {
    uint8_t first[8], second[128];
    usb::SimFlash::boardData(4, first, second);
    return std::memcmp(link.flash.data() + 0x7E000, first, 8) == 0 &&
           std::memcmp(link.flash.data() + 0x7F080, second, 128) == 0;
}

class UpdateFiles : public ::testing::Test {
protected:
    void SetUp() override {
        link.flash.loadFactoryContent(4);
        setInstalledFirmwareFolder(folders.root + "/installed");
    }
    void TearDown() override { setInstalledFirmwareFolder(""); }

    std::string userImage(int id = 104) const { return folders.data + "/Wren Capture/firmware/" + firmwareFileName(id); }
    std::string installedImage(int id = 104) const { return folders.root + "/installed/" + firmwareFileName(id); }
    std::string record() const { return folders.state + "/Wren Capture/board-01841F-hw4.kept"; }
    Bytes flashCopy() const { return Bytes(link.flash.data(), link.flash.data() + usb::SimFlash::kSize); }
    int run() { return updateFirmwareOver(link, nullptr); }

    // An update cut off after the last block was erased: the board's data is
    // gone from the flash and only the record has it.
    void cutOffInTheLastBlock() {
        writeFile(userImage(), synthetic::compress(image));
        link.refuse = [](const Transfer& t) { return t.opcode() == 0x02 && t.address() >= 0x70800; };
        ASSERT_EQ(run(), 385);
        link.refuse = nullptr;
        ASSERT_EQ(link.flash.data()[0x7E000], 0xFF);
    }

    PrivateFolders folders;
    SimLink link;
    const Bytes image = synthetic::image(4);
};

// The installed folder is the one the package fills, <prefix>/share/...,
// and an unpacked package's root stands in for / when named.
TEST_F(UpdateFiles, InstalledFolderLiesUnderTheInstallationPrefix) {
    setInstalledFirmwareFolder("");
    const std::string folder = std::string(KESTREL_TEST_INSTALL_PREFIX) + "/share/kestrel-capture/firmware/";
    unsetenv(kInstallRootVariable);
    EXPECT_EQ(installedFirmwareFolder(), folder);
    const std::string root = folders.root + "/unpacked";
    setenv(kInstallRootVariable, (root + "/").c_str(), 1);
    EXPECT_EQ(firmwareFolders().back(), root + folder);
    writeFile(root + folder + firmwareFileName(104), synthetic::compress(image));
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), link.flash.data()));
    setenv(kInstallRootVariable, "relative/ignored", 1);
    EXPECT_EQ(installedFirmwareFolder(), folder);
    unsetenv(kInstallRootVariable);
}

TEST_F(UpdateFiles, FirstImageFoundIsUsed) {
    const Bytes shortImage = synthetic::image(4, 70000 - 16);
    // Installed only: used.
    writeFile(installedImage(), synthetic::compress(shortImage));
    ASSERT_EQ(run(), 0);
    EXPECT_TRUE(std::equal(shortImage.begin(), shortImage.end(), link.flash.data()));
    // The user's own copy comes first.
    writeFile(userImage(), synthetic::compress(image));
    link.flash.loadFactoryContent(4);
    ASSERT_EQ(run(), 0);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), link.flash.data()));
    EXPECT_TRUE(boardDataIntact(link));
}

TEST_F(UpdateFiles, MissingImageSaysWhichFileAndWhere) {
    DebugCapture debug;
    EXPECT_EQ(run(), 330);
    EXPECT_EQ(debug.text(), "Resource load failed\n");
    const std::string text = takeUpdateFailureText();
    EXPECT_NE(text.find("\"104.zlib\""), std::string::npos) << text;
    EXPECT_NE(text.find(folders.data + "/Wren Capture/firmware/"), std::string::npos) << text;
    EXPECT_NE(text.find(folders.root + "/installed/"), std::string::npos) << text;
}

// A bad file in the folder gets the code of what is wrong with it, and the
// flash is left as it was; a bad file is not passed over for the next one.
TEST_F(UpdateFiles, BadImageFilesLeaveTheFlashAlone) {
    const Bytes stream = synthetic::compress(image);
    Bytes corrupt = stream;
    corrupt[corrupt.size() / 2] ^= 0x40;
    const struct {
        const char* name;
        Bytes file;
        int code;
    } cases[] = {
        {"corrupt", corrupt, 330},
        {"truncated", Bytes(stream.begin(), stream.begin() + stream.size() / 2), 330},
        {"empty", {}, 330},
        {"image too large", synthetic::compress(synthetic::image(4, 0x7E000)), 333},
        {"file too large", Bytes(kFirmwareFileLimit + 1, 0), 333},
        {"for another board type", synthetic::compress(synthetic::image(5)), 351},
    };
    writeFile(installedImage(), stream);  // a good one further down the search
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(userImage(), c.file);
        const Bytes before = flashCopy();
        link.log.clear();
        EXPECT_EQ(run(), c.code);
        EXPECT_EQ(link.countCommands(0xD8) + link.countCommands(0x02), 0u);
        EXPECT_EQ(flashCopy(), before);
    }
}

TEST_F(UpdateFiles, UnwritableStateFolderStopsBeforeAnyErase) {
    writeFile(userImage(), synthetic::compress(image));
    // A file where the folder should be: root may write anywhere, but not there.
    writeFile(folders.state + "/Wren Capture", {1});
    const Bytes before = flashCopy();
    DebugCapture debug;
    EXPECT_EQ(run(), kBoardDataNotSaved);
    EXPECT_EQ(link.countCommands(0xD8) + link.countCommands(0x02) + link.countCommands(0x01), 0u);
    EXPECT_EQ(flashCopy(), before);
    EXPECT_NE(debug.text().find("Board data not kept: "), std::string::npos);
    const std::string text = takeUpdateFailureText();
    EXPECT_NE(text.find(folders.state + "/Wren Capture/"), std::string::npos) << text;
    EXPECT_NE(text.find("did not start"), std::string::npos) << text;
}

TEST_F(UpdateFiles, RecordWrittenBeforeTheEraseAndKeptAfterSuccess) {
    writeFile(userImage(), synthetic::compress(image));
    bool recordedBeforeErase = false;
    link.refuse = [&](const Transfer& t) {
        if (t.opcode() == 0xD8 && t.address() == 0 && !recordedBeforeErase) {
            const std::optional<KeptBoardData> kept = loadKeptBoardData(0x01841F, 4);
            recordedBeforeErase = kept && kept->updating && kept->identityKnown && kept->firstKnown &&
                                  kept->secondKnown && kept->identity == 0x93000004;
        }
        return false;
    };
    ASSERT_EQ(run(), 0);
    EXPECT_TRUE(recordedBeforeErase);
    const std::optional<KeptBoardData> kept = loadKeptBoardData(0x01841F, 4);
    ASSERT_TRUE(kept);
    EXPECT_FALSE(kept->updating);
    uint8_t first[8], second[128];
    usb::SimFlash::boardData(4, first, second);
    EXPECT_EQ(std::memcmp(kept->first, first, 8), 0);
    EXPECT_EQ(std::memcmp(kept->second, second, 128), 0);
}

// After a cut-off update the record holds the only copy of the board's data:
// a second cut-off attempt, which reads an erased flash, must not replace it.
TEST_F(UpdateFiles, ErasedFlashNeverReplacesTheRecord) {
    cutOffInTheLastBlock();
    const Bytes good = readFile(record());
    link.refuse = [](const Transfer& t) { return t.opcode() == 0x02 && t.address() >= 0x70800; };
    ASSERT_EQ(run(), 385);
    EXPECT_EQ(readFile(record()), good);
    link.refuse = nullptr;
    ASSERT_EQ(run(), 0);
    EXPECT_TRUE(boardDataIntact(link));
}

// A record that is short, corrupt or another board's is ignored with a debug
// line, and nothing from it reaches the board.
TEST_F(UpdateFiles, BadRecordsAreIgnored) {
    cutOffInTheLastBlock();
    const Bytes good = readFile(record());
    Bytes corrupt = good;
    corrupt[30] ^= 1;
    // A sound record of another board (flash 20 20 13), under this board's name.
    Bytes other;
    {
        PrivateFolders elsewhere;
        KeptBoardData data;
        data.flashId = 0x132020;
        data.config[0] = 4;
        data.firstKnown = data.secondKnown = true;
        data.updating = true;
        std::memset(data.first, 0x11, 8);
        std::memset(data.second, 0x22, 128);
        ASSERT_TRUE(saveKeptBoardData(data, nullptr));
        other = readFile(elsewhere.state + "/Wren Capture/board-132020-hw4.kept");
    }
    const struct {
        const char* name;
        std::optional<Bytes> file;
        const char* line;
    } cases[] = {
        {"missing", std::nullopt, "No kept board data in "},
        {"short", Bytes(good.begin(), good.end() - 1), "Kept board data ignored (159 bytes, not 160): "},
        {"corrupt", corrupt, "Kept board data ignored (corrupt): "},
        {"another board's", other, "Kept board data ignored (board 132020 hw4): "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        link.flash.loadFactoryContent(4);
        std::memset(link.flash.data() + 0x70000, 0xFF, 0x10000);  // as the cut-off update left it
        fs::remove(record());
        if (c.file) writeFile(record(), *c.file);
        DebugCapture debug;
        ASSERT_EQ(run(), 0);
        EXPECT_NE(debug.text().find(c.line + record()), std::string::npos) << debug.text();
        EXPECT_EQ(link.flash.data()[0x7E000], 0xFF);
        EXPECT_TRUE(std::all_of(link.flash.data() + 0x7F080, link.flash.data() + 0x7F100, [](uint8_t b) { return b == 0xFF; }));
    }
}

// Without any record, an identity word erased by an earlier attempt is
// replaced by the board's hardware version, which must match the image's
// type; with a record, the recorded identity must match the image's.
TEST_F(UpdateFiles, ErasedIdentityWord) {
    writeFile(userImage(), synthetic::compress(image));
    std::memset(link.flash.data(), 0xFF, 0x10000);  // block 0 erased, nothing programmed yet
    DebugCapture debug;
    ASSERT_EQ(run(), 0);
    EXPECT_NE(debug.text().find("Identity word erased; board type 4 taken\n"), std::string::npos);

    // A record of the same board made over another FPGA's configuration.
    KeptBoardData data;
    data.flashId = 0x01841F;
    data.config[0] = 4;
    data.identityKnown = true;
    data.identity = 0x93100004;
    data.updating = true;
    ASSERT_TRUE(saveKeptBoardData(data, nullptr));
    std::memset(link.flash.data(), 0xFF, 0x10000);
    const Bytes before = flashCopy();
    debug.clear();
    EXPECT_EQ(run(), 351);
    EXPECT_NE(debug.text().find("Devicetype mismatch. (4 4 FFFFFFFF 93000004)\n"), std::string::npos);
    EXPECT_EQ(flashCopy(), before);
}

}  // namespace
