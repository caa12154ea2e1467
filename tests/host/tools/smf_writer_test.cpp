// The recorder's files, read back by an independent MIDI library: every message at the
// millisecond the driver stamped it, in the order recorded.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include "smf_writer.h"

namespace record {
namespace {

// What mido makes of the file: the lines tests/host/tools/smf_read.py prints.
std::string ReadBack(const std::vector<uint8_t>& file) {
    // A name of this process's own: the sanitizer builds may run the same test at once.
    std::string path =
        ::testing::TempDir() + "smf_writer_test_" + std::to_string(getpid()) + ".mid";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<long>(file.size()));
    std::string command = "/usr/bin/python3 " OVTM_SMF_READER " " + path + " 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "could not run the reader";
    char line[512];
    while (std::fgets(line, sizeof(line), pipe))
        output += line;
    pclose(pipe);
    std::remove(path.c_str());
    return output;
}

TEST(SmfWriter, ShortMessagesKeepTheBytesTheirStatusGives) {
    EXPECT_EQ(ShortMessageBytes(0x00643C90), std::vector<uint8_t>({0x90, 0x3C, 0x64}));
    EXPECT_EQ(ShortMessageBytes(0x007F40B0), std::vector<uint8_t>({0xB0, 0x40, 0x7F}));
    EXPECT_EQ(ShortMessageBytes(0x00FF05C3), std::vector<uint8_t>({0xC3, 0x05}));
    EXPECT_EQ(ShortMessageBytes(0x004020E0), std::vector<uint8_t>({0xE0, 0x20, 0x40}));
    // Data bytes keep to seven bits, whatever the packed value carries above them.
    EXPECT_EQ(ShortMessageBytes(0x00FFBC80), std::vector<uint8_t>({0x80, 0x3C, 0x7F}));
    EXPECT_TRUE(ShortMessageBytes(0x000000F8).empty()); // real time: not for a file
    EXPECT_TRUE(ShortMessageBytes(0x00000040).empty()); // no status
}

TEST(SmfWriter, AMidiLibraryReadsEveryMessageAtItsMillisecond) {
    std::vector<TimedMessage> messages = {
        {0, {0x90, 0x3C, 0x64}},      {250, {0x80, 0x3C, 0x40}},
        {250, {0xB0, 0x40, 0x7F}},    {1000, {0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7}},
        {999, {0xE0, 0x00, 0x40}},    // stamped before the one above: kept at the same moment
        {200000, {0x90, 0x43, 0x01}}, // a delta time of four bytes
    };
    EXPECT_EQ(ReadBack(WriteStandardMidiFile(messages)),
              "format 0 tracks 1 division 1000\n"
              "tempo 1000000\n"
              "0 note_on channel=0 note=60 velocity=100\n"
              "250 note_off channel=0 note=60 velocity=64\n"
              "250 control_change channel=0 control=64 value=127\n"
              "1000 sysex data=7D 01 02 03\n"
              "1000 pitchwheel channel=0 pitch=0\n"
              "200000 note_on channel=0 note=67 velocity=1\n"
              "end\n");
}

TEST(SmfWriter, AnEmptyRecordingIsStillAFileToOpen) {
    EXPECT_EQ(ReadBack(WriteStandardMidiFile({})),
              "format 0 tracks 1 division 1000\ntempo 1000000\nend\n");
}

} // namespace
} // namespace record
