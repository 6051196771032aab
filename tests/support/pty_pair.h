#pragma once
// A pseudo-terminal pair standing in for a device: the engine opens the slave path, the test plays
// the device on the master side. Closing the master hangs the slave up, as a pulled adapter does.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int Master() const { return m_master; }

    void Send(const std::vector<uint8_t>& bytes) const;
    // Reads from the master until `count` bytes arrived or `timeout` passed.
    std::vector<uint8_t> Receive(std::size_t count, std::chrono::milliseconds timeout) const;
    void CloseMaster();

private:
    int m_master = -1;
    std::string m_slavePath;
};
