#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

// Program-wide state shared by the windows. One instance is made by the start-up
// procedure and handed to whoever reads or writes it, so tests always start fresh.
struct Module1
{
    static constexpr int FrameStoreSlots = 201;   // slots 0..200
    static constexpr std::int16_t MaxPendingLength = 32767;

    std::int16_t PortNumber = 0;                  // COMn in use; 0 until start-up sets 1
    std::array<QByteArray, FrameStoreSlots> FrameStore; // data frames since the last reset
    std::int16_t FrameCount = 0;                  // stored frames = next free slot
    QByteArray PendingFrame;                      // frame being assembled, lead char first
    std::int16_t PendingLength = 0;               // 0: no frame open
};
