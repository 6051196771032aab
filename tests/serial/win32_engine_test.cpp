// The Win32 backend against real COM ports. The Wine test run (ctest --preset windows) maps COM ports to
// velkor-sim on pseudo-terminals and names them in VELKOR_TEST_COMS, "ROLE=COMn" separated by commas:
//   plain   a simulator that answers
//   stall   one that stops taking bytes after the first frame
//   hangup  one that hangs up after each first frame, and is started again at once
//   storm   one that streams noise after the first frame
// Without it (on a Windows machine with no such set-up) these tests skip.

#include "support/recording_serial.h"
#include "support/test_data.h"

#include "frames/hex.h"
#include "serial/port_names.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace velkor {
namespace {

using namespace std::chrono_literals;

// The COM port of `role` in VELKOR_TEST_COMS; "" when it names none.
std::string PortFrom(const std::string& role) {
    const char* value = std::getenv("VELKOR_TEST_COMS");
    std::string list = value != nullptr ? value : "";
    for (std::size_t at = 0; at < list.size();) {
        std::size_t end = std::min(list.find(',', at), list.size());
        std::string entry = list.substr(at, end - at);
        if (entry.rfind(role + "=", 0) == 0) {
            return entry.substr(role.size() + 1);
        }
        at = end + 1;
    }
    return "";
}

#define REQUIRE_PORT(name, role)                                                                             \
    const std::string name = PortFrom(role);                                                                 \
    if (name.empty()) {                                                                                      \
        GTEST_SKIP() << "VELKOR_TEST_COMS names no " << role << " port";                                     \
    }

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Sends `request` and returns the answer's bytes as hex pairs.
std::string Exchange(RecordingSerial& serial, const char* request, std::size_t answerSize) {
    serial.Forget();
    if (!serial.Send(Hex(request))) {
        return "not sent";
    }
    return ToHex(serial.WaitFor(answerSize, 3s));
}

TEST(Win32Engine, ReadConfigRoundTrip) {
    REQUIRE_PORT(port, "plain");
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(port, 9600, Parity::None), 1);
    EXPECT_TRUE(serial.IsOpen());
    EXPECT_EQ(Exchange(serial, "FA 80 F4 00 6E 0D", 13), "FA 80 F4 07 6C 80 12 00 04 00 06 7D 0D");
    EXPECT_EQ(serial.Close(), 1);
    EXPECT_FALSE(serial.IsOpen());
}

TEST(Win32Engine, EveryParityAndBaudRateOfTheList) {
    REQUIRE_PORT(port, "plain");
    RecordingSerial serial;
    // Each parity follows a parity-less open: Wine refuses (ERROR_INVALID_PARAMETER) a parity on a
    // pseudo-terminal whose previous settings asked for the same parity, because the pseudo-terminal keeps
    // PARODD but drops PARENB. A real port has no such history.
    for (int baud : SUPPORTED_BAUD_RATES) {
        for (Parity parity : {Parity::None, Parity::Odd, Parity::None, Parity::Even}) {
            ASSERT_EQ(serial.Open(port, baud, parity), 1) << baud << " parity " << ParityName(parity) << ": "
                                                          << PortErrorText(serial.LastFailure().error);
            EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D")
                << baud << " " << ParityName(parity);
        }
    }
    // A rate or parity the port page does not offer is refused, and nothing stays open.
    EXPECT_EQ(serial.Open(port, 300, Parity::None), 0);
    EXPECT_FALSE(serial.IsOpen());
    EXPECT_EQ(serial.LastFailure().error, PortError::Unsupported);
    EXPECT_EQ(serial.Open(port, 9600, static_cast<Parity>(3)), 0); // no value of the list
    EXPECT_EQ(serial.ProbePort(port), 1);
}

TEST(Win32Engine, NamesThatAreNoPort) {
    RecordingSerial serial;
    EXPECT_EQ(serial.Open("COM255", 9600, Parity::None), 0); // a port's name, but no such port here
    EXPECT_EQ(serial.LastFailure().error, PortError::NotFound);
    // DOS devices (Wine maps AUX to COM1, the host's console), folders and what is no COM name at all are
    // refused before anything is opened.
    for (const char* name : {"AUX", "AUX:", "NUL", "CON", "PRN", "LPT1", "C:\\windows", "COM256", "COM99999",
                             "\\\\.\\COM0", "", "COM"}) {
        EXPECT_EQ(serial.Open(name, 9600, Parity::None), 0) << name;
        EXPECT_EQ(serial.LastFailure().error, PortError::NotSerial) << name;
        EXPECT_EQ(serial.ProbePort(name), 0) << name;
    }
    // A file opens, but is no serial port.
    char folder[MAX_PATH];
    char path[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0U);
    ASSERT_NE(GetTempFileNameA(folder, "vkr", 0, path), 0U);
    EXPECT_EQ(serial.Open(path, 9600, Parity::None), 0);
    EXPECT_EQ(serial.LastFailure().error, PortError::NotSerial);
    DeleteFileA(path);
    EXPECT_EQ(serial.Open("NUL", 9600, Parity::None), 0);
    uint8_t byte = 0;
    EXPECT_EQ(serial.Write(&byte, 1), 0);
    EXPECT_EQ(serial.LastFailure().error, PortError::NotOpen);
}

TEST(Win32Engine, ASecondOpenOfTheSamePortFails) {
    REQUIRE_PORT(port, "plain");
    RecordingSerial first;
    RecordingSerial second;
    ASSERT_EQ(first.Open(port, 9600, Parity::None), 1);
    const bool secondOpened = second.Open(port, 9600, Parity::None) == 1;
    second.Close();
    if (secondOpened && UnderWine()) {
        GTEST_SKIP() << "Wine opens a COM port a second time although the first open shares nothing; Windows "
                        "refuses it (ERROR_ACCESS_DENIED)";
    }
    EXPECT_FALSE(secondOpened);
    EXPECT_EQ(second.LastFailure().error, PortError::Busy);
    EXPECT_EQ(second.ProbePort(port), 0);
}

TEST(Win32Engine, AStalledWriteGivesUpAndLaterOnesDoNotHang) {
    REQUIRE_PORT(port, "stall");
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(port, 9600, Parity::None), 1);
    ASSERT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D"); // then it stops taking bytes
    std::vector<uint8_t> big(1 << 20, 0x55);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.Write(big.data(), static_cast<uint32_t>(big.size())), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 2s);
    EXPECT_LT(took, 10s);
    CXSerial::Failure failure = serial.LastFailure();
    EXPECT_EQ(failure.error, PortError::Stalled);
    EXPECT_LT(failure.accepted, failure.length);
    EXPECT_TRUE(serial.IsOpen()); // stalled, not lost
    // A later send is bounded too, and the port still closes at once.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.Write(big.data(), 64), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    start = std::chrono::steady_clock::now();
    serial.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(Win32Engine, AHangUpIsReportedOnceAndThePortOpensAgain) {
    REQUIRE_PORT(port, "hangup");
    RecordingSerial serial;
    ASSERT_TRUE(WaitUntil([&] { return serial.Open(port, 9600, Parity::None) == 1; }, 5s));
    // The answer arrives, then the line dies.
    EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D");
    EXPECT_TRUE(WaitUntil([&] { return !serial.IsOpen(); }, 3s));
    EXPECT_TRUE(serial.TakeDeviceLost());
    EXPECT_FALSE(serial.TakeDeviceLost());
    uint8_t byte = 0;
    EXPECT_EQ(serial.Write(&byte, 1), 0);
    // The device is back (the simulator started again on the same link).
    ASSERT_TRUE(WaitUntil([&] { return serial.Open(port, 9600, Parity::None) == 1; }, 5s));
    EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D");
    serial.Close();
}

TEST(Win32Engine, NoByteAfterClose) {
    REQUIRE_PORT(port, "storm");
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(port, 115200, Parity::None), 1);
    ASSERT_TRUE(serial.Send(Hex("FA 80 F2 00 6C 0D"))); // noise from now on
    EXPECT_GE(serial.WaitFor(4096, 5s).size(), 4096U);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.Close(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s); // the reader was woken and joined
    std::size_t afterClose = serial.Count();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(serial.Count(), afterClose);
}

} // namespace
} // namespace velkor
