#include "module_device.h"

#include "frames/byte_order.h"

namespace velkor::sim {

LoraConfig ModuleDevice::DefaultConfig() {
    LoraConfig config;
    config.frequencyWord = 0x6C8012;
    config.sleepPeriod = 0;
    config.breathingTime = 4;
    config.networkAddress = 0;
    config.transmitPower = 6;
    return config;
}

std::optional<std::vector<uint8_t>> ModuleDevice::Answer(std::span<const uint8_t> frame, std::time_t now) {
    if (frame.size() < MODULE_FRAME_OVERHEAD) {
        return std::nullopt;
    }
    uint8_t command = frame[2];
    std::span<const uint8_t> data = frame.subspan(4, frame[3]);
    switch (command) {
    case MODCMD_READ_CONFIG:
        return BuildModuleFrame(command, m_config.ToBytes());
    case MODCMD_WRITE_CONFIG:
        if (data.size() == 7) {
            m_config = LoraConfig::FromBytes(std::span<const uint8_t, 7>(data.data(), 7));
        }
        return BuildModuleFrame(command, {});
    case MODCMD_READ_WATCH_ADDRESS: {
        return BuildModuleFrame(command, BigEndianBytes<4>(static_cast<uint32_t>(m_watchAddress)));
    }
    case MODCMD_WRITE_WATCH_ADDRESS:
        if (data.size() == 4) {
            m_watchAddress = static_cast<int32_t>(ReadBigEndian(std::span<const uint8_t, 4>(data.data(), 4)));
        }
        return BuildModuleFrame(command, {});
    case MODCMD_SET_TIME:
        if (data.size() == 7) {
            std::tm set{};
            set.tm_year = data[0] + 100; // year - 2000 on the line, year - 1900 in tm
            set.tm_mon = data[1] - 1;
            set.tm_mday = data[2];
            set.tm_hour = data[3];
            set.tm_min = data[4];
            set.tm_sec = data[5];
            set.tm_isdst = -1;
            std::time_t when = std::mktime(&set);
            if (when != static_cast<std::time_t>(-1)) {
                m_clockOffset = when - now;
            }
        }
        return BuildModuleFrame(command, {});
    case MODCMD_GET_TIME: {
        std::time_t clock = now + m_clockOffset;
        std::tm local{};
        localtime_r(&clock, &local);
        return BuildModuleFrame(command, ModuleClockData(local));
    }
    case MODCMD_RESET:
        return BuildModuleFrame(command, {});
    default:
        return std::nullopt;
    }
}

} // namespace velkor::sim
