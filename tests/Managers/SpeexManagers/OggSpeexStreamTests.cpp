#include "Managers/SpeexManagers/OggSpeexStream.h"

#include <gtest/gtest.h>
#include <speex/speex.h>
#include <speex/speex_header.h>

#include <cstring>

#include "Support/OggReader.h"
#include "Support/TestSupport.h"

using varen::Data;

namespace {

Data hex(std::initializer_list<int> values) {
    Data bytes;
    for (int value : values) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

Data slice(const Data& bytes, std::size_t from, std::size_t to) {
    return Data(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

}  // namespace

TEST(SpeexHeaderPacket, IsTheFixed80ByteLayoutWithTheLibraryVersionText) {
    SpeexHeader library{};
    speex_init_header(&library, 8000, 1, &speex_nb_mode);
    const Data packet = varen::speexHeaderPacket(library);
    ASSERT_EQ(packet.size(), 80u);

    EXPECT_EQ(slice(packet, 0, 8), hex({0x53, 0x70, 0x65, 0x65, 0x78, 0x20, 0x20, 0x20}));
    Data version(20, 0);
    std::memcpy(version.data(), library.speex_version, strnlen(library.speex_version, 20));
    EXPECT_EQ(slice(packet, 8, 28), version);
    EXPECT_EQ(slice(packet, 28, 80),
              hex({0x01, 0x00, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00, 0x40, 0x1f, 0x00, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xff, 0xff,
                   0xff, 0xff, 0xa0, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(SpeexHeaderPacket, VersionFieldIsZeroPaddedAndNeverLongerThan20Bytes) {
    SpeexHeader record{};
    std::memcpy(record.speex_version, "speex-1.2beta3", 14);
    EXPECT_EQ(slice(varen::speexHeaderPacket(record), 8, 28),
              hex({0x73, 0x70, 0x65, 0x65, 0x78, 0x2d, 0x31, 0x2e, 0x32, 0x62,
                   0x65, 0x74, 0x61, 0x33, 0,    0,    0,    0,    0,    0}));

    std::memset(record.speex_version, 'x', 20);  // no terminator, followed by other fields
    record.speex_version_id = 0x41414141;
    const Data full = varen::speexHeaderPacket(record);
    EXPECT_EQ(slice(full, 8, 28), Data(20, 'x'));
    EXPECT_EQ(slice(full, 28, 32), hex({1, 0, 0, 0}));

    const SpeexHeader empty{};
    EXPECT_EQ(slice(varen::speexHeaderPacket(empty), 8, 28), Data(20, 0));
}

TEST(SpeexCommentPacket, HoldsTheVendorTextAndNoUserComments) {
    const Data packet = varen::speexCommentPacket("Encoded with:test by pelmo ");
    ASSERT_EQ(packet.size(), 35u);
    EXPECT_EQ(slice(packet, 0, 4), hex({0x1b, 0, 0, 0}));
    EXPECT_EQ(std::string(packet.begin() + 4, packet.begin() + 31), "Encoded with:test by pelmo ");
    EXPECT_EQ(slice(packet, 31, 35), hex({0, 0, 0, 0}));

    EXPECT_EQ(varen::speexCommentPacket(""), Data(8, 0));
    // The length counts bytes of the UTF-8 text, not characters.
    EXPECT_EQ(slice(varen::speexCommentPacket("\xc3\xa9t\xc3\xa9"), 0, 4), hex({5, 0, 0, 0}));
}

TEST(OggSpeexNames, SerialNumberIsBelow8888) {
    EXPECT_EQ(varen::streamSerialNumberFrom(0), 0);
    EXPECT_EQ(varen::streamSerialNumberFrom(8887), 8887);
    EXPECT_EQ(varen::streamSerialNumberFrom(8888), 0);
    EXPECT_EQ(varen::streamSerialNumberFrom(0xffffffffu), 1279);
}

TEST(OggSpeexNames, FileNameIsTheTimeRoundedToWholeSeconds) {
    EXPECT_EQ(varen::recordingFileNameAt(1700000000.4), "1700000000.spx");
    EXPECT_EQ(varen::recordingFileNameAt(1700000000.6), "1700000001.spx");
    EXPECT_EQ(varen::recordingFileNameAt(0), "0.spx");
}

TEST(OggSpeexStream, HeaderPagesStandAloneAndAudioPagesCarrySampleCounts) {
    varen::test::TemporaryDirectory folder;
    const auto path = (folder.path() / "stream.spx").string();
    varen::OggSpeexStream stream(4321);
    SpeexHeader library{};
    speex_init_header(&library, 8000, 1, &speex_nb_mode);

    Data page;
    auto file = varen::RecordingFile::create(path);
    ASSERT_TRUE(file);
    auto writePage = [&](bool force) {
        if (!stream.takePage(force, page)) return false;
        file->append(page);
        page.clear();
        return true;
    };
    stream.submit(varen::speexHeaderPacket(library), true, 0, 0);
    ASSERT_TRUE(writePage(true));
    stream.submit(varen::speexCommentPacket("Encoded with:test by pelmo "), false, 0, 1);
    ASSERT_TRUE(writePage(true));
    std::vector<Data> audio;
    for (int k = 1; k <= 1000; ++k) {
        audio.push_back(Data(38, static_cast<std::uint8_t>(k)));
        stream.submit(audio.back(), false, 160 * k, k + 1);
        writePage(false);
    }
    EXPECT_TRUE(writePage(true));
    EXPECT_FALSE(writePage(true));  // nothing left: no empty page

    const auto contents = varen::test::readOggStream(varen::test::readBinaryFile(path));
    ASSERT_EQ(contents.error, "");
    ASSERT_GE(contents.pages.size(), 4u);
    const auto& first = contents.pages[0];
    EXPECT_EQ(first.size, 108u);
    EXPECT_TRUE(first.beginningOfStream());
    EXPECT_EQ(first.granulePosition, 0);
    EXPECT_EQ(first.sequenceNumber, 0u);
    const auto& second = contents.pages[1];
    EXPECT_EQ(second.size, 63u);
    EXPECT_EQ(second.headerType, 0);
    EXPECT_EQ(second.granulePosition, 0);
    EXPECT_EQ(second.sequenceNumber, 1u);

    std::int64_t previous = 0;
    for (std::size_t index = 0; index < contents.pages.size(); ++index) {
        const auto& each = contents.pages[index];
        EXPECT_TRUE(each.checksumValid) << index;
        EXPECT_EQ(each.serialNumber, 4321u);
        EXPECT_FALSE(each.endOfStream());
        EXPECT_EQ(each.sequenceNumber, index);
        if (index < 2) continue;
        EXPECT_EQ(each.granulePosition % 160, 0);
        EXPECT_GT(each.granulePosition, previous);
        previous = each.granulePosition;
    }
    EXPECT_EQ(contents.pages.back().granulePosition, 160000);
    ASSERT_EQ(contents.packets.size(), 1002u);
    EXPECT_EQ(contents.packets[0].page, 0u);
    EXPECT_EQ(contents.packets[1].page, 1u);
    for (std::size_t k = 0; k < audio.size(); ++k)
        EXPECT_EQ(contents.packets[k + 2].bytes, audio[k]);
}

TEST(OggSpeexFile, ARecordingFileIsNewPrivateAndWrittenThroughOneDescriptor) {
    namespace fs = std::filesystem;
    varen::test::TemporaryDirectory folder;
    const auto path = (folder.path() / "1.spx").string();
    auto file = varen::RecordingFile::create(path);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->path(), path);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(varen::RecordingFile::create(path)->path(), (folder.path() / "1-1.spx").string())
        << "a name that is taken is never reused";
    EXPECT_TRUE(file->append(hex({1, 2})));

    // A link swapped in at the path mid-run does not redirect the writes...
    const auto elsewhere = folder.path() / "elsewhere";
    varen::test::writeTextFile(elsewhere, "");
    const auto moved = folder.path() / "moved.spx";
    fs::rename(path, moved);
    fs::create_symlink(elsewhere, path);
    EXPECT_TRUE(file->append(hex({3})));
    EXPECT_EQ(varen::test::readBinaryFile(moved), hex({1, 2, 3}));
    EXPECT_EQ(fs::file_size(elsewhere), 0u);
    // ...and a link planted beforehand counts as a taken name.
    EXPECT_EQ(varen::RecordingFile::create(path)->path(), (folder.path() / "1-2.spx").string());

    EXPECT_FALSE(varen::RecordingFile::create((folder.path() / "no" / "b.spx").string()));
}
