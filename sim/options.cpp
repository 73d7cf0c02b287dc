#include "options.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace qzsim {

namespace {

constexpr const char *Usage = R"(Usage: qz7310-sim [--records N] [--seed S] [--fast] [--link PATH] [--log]
                  [--garbage] [--lose-cr K] [--nak] [--stop-after N]

Stands in for a QZ-7310 counter on a pseudo-terminal. Prints the device path
(for example /dev/pts/5) as the first line on standard output, then answers
commands on that device until it is stopped. Clients may open, close and
reopen the device as often as they like; what the counter sends while nobody
has the device open is lost, as on a real line.

Commands, 10 bytes each: STX, word, blank, operand, ETX, CR.
  RDD ALL     one data frame per stored record, in record order
  RDD NOW     one data frame numbered 00 with the current counts
  CLR ALL     ACK CR; the stored records are gone until the next start
  other       STX NAK CR
Bytes before an STX are ignored, an STX starts a command afresh, a CR ends it.

Data frame, 42 bytes:
  STX "D" nn SP c1 SP c2 SP c3 SP c4 SP c5 SP tttttt CR
  nn        record number, 01 upwards; only two digits fit, so record 100
            is sent as 00
  c1 .. c5  the five counts, 5 digits each (0 to 99999)
  tttttt    their sum, 6 digits
Current counts start from fixed values and grow steadily, each channel at its
own rate of 3 to 60 a second (wrapping after 99999).

Options:
  --records N     number of stored records, 0 to 100 (default 36)
  --seed S        seed of the record values, 0 to 2^64-1 (default 7310);
                  the same seed gives the same records
  --fast          send without pacing; by default bytes go out at the line's
                  real rate, 9600 baud 8N1, one byte each 1.0417 ms
  --link PATH     also make PATH a symbolic link to the device; an existing
                  symbolic link is replaced, anything else is left alone (the
                  start fails); the link is removed on exit
  --log           print every command received, and clients coming and going,
                  on standard error
  -h, --help      print this text and exit
      --version   print the version and exit

Faults (they combine; junk and lost CRs first, then --stop-after cuts):
  --garbage       send the junk "xx" CR ahead of every reply frame
  --lose-cr K     leave out the CR of the K-th frame of every reply (K >= 1)
  --nak           answer every command with STX NAK CR (nothing is cleared)
  --stop-after N  send only the first N bytes of every reply (N >= 0); a
                  CLR ALL whose ACK is cut still clears

Stopping: SIGINT, SIGTERM or SIGHUP; or end of file on standard input when
standard input is a pipe or socket (a terminal, /dev/null or a file there is
not watched). Exit status: 0 after a clean stop, 1 when the pseudo-terminal or
the link cannot be made, 2 on a usage error.
)";

// Far beyond any reply (100 frames at most): they only catch typing slips.
constexpr unsigned LoseCrHighest = 1000;
constexpr std::size_t StopAfterHighest = 1'000'000;

[[noreturn]] void usageError(const std::string &message)
{
    std::fprintf(stderr, "qz7310-sim: %s\nTry 'qz7310-sim --help'.\n", message.c_str());
    std::exit(2);
}

template <typename Number>
Number parseNumber(std::string_view option, std::string_view text, Number low, Number high)
{
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        usageError(std::string(option) + ": '" + std::string(text) + "' is not a number from "
                   + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

} // namespace

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto value = [&]() -> std::string_view {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= argc)
                usageError(std::string(name) + " needs a value");
            return argv[++i];
        };
        auto flag = [&] {
            if (inlineValue)
                usageError(std::string(name) + " takes no value");
            return true;
        };
        if (name == "-h" || name == "--help") {
            std::fputs(Usage, stdout);
            std::exit(0);
        } else if (name == "--version") {
            flag();
            std::puts("qz7310-sim " QZ_VERSION);
            std::exit(0);
        } else if (name == "--records") {
            options.records = parseNumber<unsigned>(name, value(), 0, MaxRecords);
        } else if (name == "--seed") {
            options.seed = parseNumber<std::uint64_t>(name, value(), 0, UINT64_MAX);
        } else if (name == "--fast") {
            options.fast = flag();
        } else if (name == "--log") {
            options.log = flag();
        } else if (name == "--link") {
            options.link = value();
            if (options.link.empty())
                usageError("--link needs a path");
        } else if (name == "--garbage") {
            options.faults.garbage = flag();
        } else if (name == "--lose-cr") {
            options.faults.loseCr = parseNumber<unsigned>(name, value(), 1, LoseCrHighest);
        } else if (name == "--nak") {
            options.faults.nak = flag();
        } else if (name == "--stop-after") {
            options.faults.stopAfter = parseNumber<std::size_t>(name, value(), 0, StopAfterHighest);
        } else {
            usageError("unknown option '" + std::string(arg) + "'");
        }
    }
    return options;
}

} // namespace qzsim
