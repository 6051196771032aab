#include "serial/port_list_linux.h"
#include "serial/port_names.h"
#include "serial/serial_port.h"
#include "serial/termios_settings.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace velkor {
namespace {

TEST(LineTermios, RawEightBitsOneStopNoFlowControl) {
    termios base{};
    base.c_iflag = ICRNL | IXON | IXOFF | IGNPAR | ISTRIP;
    base.c_oflag = OPOST | ONLCR;
    base.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    base.c_cflag = CS7 | CSTOPB | CRTSCTS | HUPCL;
    const struct {
        Parity parity;
        tcflag_t parityFlags;
    } parities[] = {{Parity::None, 0}, {Parity::Odd, PARENB | PARODD}, {Parity::Even, PARENB}};
    for (const auto& p : parities) {
        for (int baud : SUPPORTED_BAUD_RATES) {
            std::optional<termios> t = MakeLineTermios(base, baud, p.parity);
            ASSERT_TRUE(t) << baud;
            EXPECT_EQ(t->c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
            EXPECT_EQ(t->c_cflag & CSTOPB, 0U);
            EXPECT_EQ(t->c_cflag & (PARENB | PARODD), p.parityFlags);
            // Bytes with a parity error are delivered as received, never replaced by 0x00.
            EXPECT_EQ(t->c_iflag & (INPCK | IGNPAR | PARMRK), 0U);
            EXPECT_EQ(t->c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0U);
            EXPECT_EQ(t->c_cflag & (CRTSCTS | HUPCL), 0U);
            EXPECT_EQ(t->c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
            EXPECT_EQ(t->c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0U);
            EXPECT_EQ(t->c_oflag & OPOST, 0U);
            EXPECT_EQ(t->c_cc[VMIN], 1);
            EXPECT_EQ(t->c_cc[VTIME], 0);
        }
    }
    termios fast = *MakeLineTermios(base, 115200, Parity::None);
    termios slow = *MakeLineTermios(base, 1200, Parity::None);
    EXPECT_EQ(cfgetospeed(&fast), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&slow), static_cast<speed_t>(B1200));
    EXPECT_FALSE(MakeLineTermios(base, 300, Parity::None));
    EXPECT_FALSE(MakeLineTermios(base, 230400, Parity::None));
    EXPECT_FALSE(MakeLineTermios(base, 9600, static_cast<Parity>(3))); // no value of the list
}

TEST(PortNames, TheVariableFollowsTheMachinesPorts) {
    setenv("VELKOR_PORTS", "/tmp/velkor-test-x:/tmp/velkor-test-y", 1);
    std::vector<std::string> ports = EnumeratePorts();
    unsetenv("VELKOR_PORTS");
    ASSERT_GE(ports.size(), 2U);
    EXPECT_EQ(ports[ports.size() - 2], "/tmp/velkor-test-x");
    EXPECT_EQ(ports.back(), "/tmp/velkor-test-y");
    for (std::size_t i = 0; i + 2 < ports.size(); ++i) {
        EXPECT_EQ(ports[i].rfind("/dev/tty", 0) == 0 || ports[i].rfind("/dev/rfcomm", 0) == 0, true)
            << ports[i];
    }
}

// A made-up /sys/class/tty: each tty is a folder, with a device folder where the kernel has a device
// behind it, and a type file for ttyS.
class FakeSysClassTty {
public:
    FakeSysClassTty()
        : m_root(std::filesystem::temp_directory_path() / ("velkor-sysfs-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(m_root);
    }
    ~FakeSysClassTty() { std::filesystem::remove_all(m_root); }
    void Add(const std::string& name, bool device, const char* type = nullptr) {
        std::filesystem::create_directories(m_root / name);
        if (device) {
            std::filesystem::create_directories(m_root / name / "device");
        }
        if (type != nullptr) {
            std::ofstream(m_root / name / "type") << type << "\n";
        }
    }
    void SetActiveConsoles(const std::string& line) {
        std::filesystem::create_directories(m_root / "console");
        std::ofstream(m_root / "console" / "active") << line << "\n";
    }
    std::string Path() const { return m_root.string(); }

private:
    std::filesystem::path m_root;
};

TEST(PortList, SerialTtysOnlyAndNeverTheActiveConsole) {
    FakeSysClassTty sys;
    sys.Add("tty", false);
    sys.Add("tty0", false);
    sys.Add("tty12", false);
    sys.Add("ptmx", false);
    sys.Add("ttyS0", true, "4");
    sys.Add("ttyS1", true, "4");
    sys.Add("ttyS2", true, "0"); // registered by the driver, no UART behind it
    sys.Add("ttyUSB10", true);
    sys.Add("ttyUSB2", true);
    sys.Add("ttyACM0", true);
    sys.Add("rfcomm0", true);
    sys.Add("ttyprintk", false); // no device behind it
    EXPECT_EQ(SerialTtyNames(sys.Path()),
              (std::vector<std::string>{"rfcomm0", "ttyACM0", "ttyS0", "ttyS1", "ttyUSB2", "ttyUSB10"}));

    // A machine whose console is a serial line (a server, a board, this kind of virtual machine).
    sys.SetActiveConsoles("tty0 ttyS0");
    EXPECT_EQ(SerialTtyNames(sys.Path()),
              (std::vector<std::string>{"rfcomm0", "ttyACM0", "ttyS1", "ttyUSB2", "ttyUSB10"}));
    sys.SetActiveConsoles("ttyUSB2");
    EXPECT_EQ(SerialTtyNames(sys.Path()),
              (std::vector<std::string>{"rfcomm0", "ttyACM0", "ttyS0", "ttyS1", "ttyUSB10"}));

    EXPECT_TRUE(SerialTtyNames(sys.Path() + "/missing").empty());
}

TEST(PortList, TheConsoleIsKnownByItsDeviceWhateverThePathToIt) {
    FakeSysClassTty sys;
    PtyPair pty;
    struct stat st {};
    ASSERT_EQ(stat(pty.SlavePath().c_str(), &st), 0);
    sys.Add("ttyS0", true, "4");
    std::ofstream(sys.Path() + "/ttyS0/dev") << major(st.st_rdev) << ":" << minor(st.st_rdev) << "\n";
    const std::string link = sys.Path() + "/by-id-link";
    std::filesystem::create_symlink(pty.SlavePath(), link);
    EXPECT_FALSE(IsActiveConsole(pty.SlavePath(), sys.Path())); // no console named yet
    sys.SetActiveConsoles("tty0 ttyS0");
    EXPECT_TRUE(IsActiveConsole(pty.SlavePath(), sys.Path()));
    EXPECT_TRUE(IsActiveConsole(link, sys.Path()));
    EXPECT_FALSE(IsActiveConsole("/dev/null", sys.Path()));
    EXPECT_FALSE(IsActiveConsole(sys.Path() + "/missing", sys.Path()));
}

} // namespace
} // namespace velkor
