// The simulated counter: its records, its current counts, how it reads commands
// and how it shapes its replies. No I/O here; main.cpp drives it on a pty.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qzsim {

// Our own copies, not the program's: the simulator stands apart from what it tests.
inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char ACK = 0x06;
inline constexpr char CR = 0x0D;
inline constexpr char NAK = 0x15;

inline constexpr unsigned MaxRecords = 100;
inline constexpr unsigned MaxCount = 99999; // five digits; five of them sum to six
inline constexpr std::size_t FrameLength = 42;
inline constexpr std::size_t CommandLength = 10; // STX, word, blank, operand, ETX, CR

using Counts = std::array<unsigned, 5>;

// One data frame: STX 'D' nn ' ' c1 ' ' c2 ' ' c3 ' ' c4 ' ' c5 ' ' tttttt CR.
// The number field holds two digits, so record 100 goes out as "00": the
// counter keeps the last two digits, as a two-digit display would.
std::string dataFrame(unsigned recordNumber, const Counts &counts);

enum class Command { ReadAll, ReadNow, ClearAll, Unknown };

// A complete command, STX up to and including CR, to what the counter does.
Command classify(std::string_view command);

// Picks commands out of a byte stream: junk before an STX is ignored, an STX
// always starts a command afresh (a half-received one is dropped), a CR ends it.
class CommandReader
{
public:
    // Returns the command, STX to CR, once its CR has arrived.
    std::optional<std::string> feed(char byte);
    void reset();

private:
    static constexpr std::size_t Longest = 64;
    bool m_open = false;
    std::string m_buffer;
};

class Counter
{
public:
    Counter(unsigned records, std::uint64_t seed);

    const std::vector<Counts> &records() const { return m_records; }
    void clearRecords() { m_records.clear(); }

    // Current counts, `seconds` after the start: each channel counts up at its
    // own steady rate from its own start value, wrapping after 99999.
    Counts currentAt(double seconds) const;

private:
    std::vector<Counts> m_records;
    Counts m_base{};
    Counts m_perSecond{};
};

struct Faults
{
    bool garbage = false;                 // junk ahead of every reply frame
    unsigned loseCr = 0;                  // 1-based frame of each reply that loses its CR; 0: none
    bool nak = false;                     // every command answered STX NAK CR
    std::optional<std::size_t> stopAfter; // bytes of each reply actually sent
};

// The junk --garbage puts ahead of each frame: no STX, ACK or NAK in it, so a
// listener that waits for a lead character drops it.
inline constexpr std::string_view Garbage = "xx\r";

// What the counter does with one command: its records may go, and the bytes it
// sends back, faults applied. `seconds` is the time since the start.
std::string answer(Counter &counter, std::string_view command, const Faults &faults, double seconds);

// The reply bytes from its frames: lost CR and junk first, then the cut.
std::string shapeReply(const std::vector<std::string> &frames, const Faults &faults);

} // namespace qzsim
