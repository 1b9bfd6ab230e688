// Seeded random sequences of PnP, power, handle, order and traffic events over a USB tree, with
// the invariants checked after every step. A failing sequence prints its seed, what failed, and
// the shortest failing sequence found by cutting steps out of it.
//
//   --explore_seed=N         replays one sequence, printing each step
//   --explore_sequences=N    how many sequences (seeds 1..N) to run; 10,000 by default
#include "explore.h"
#include "explore_sequences.h"

#include <chrono>
#include <cstdio>

namespace {

using namespace explore;

long Flag(const char* name, long otherwise) {
    std::string prefix = std::string("--") + name + "=";
    for (const std::string& arg : ::testing::internal::GetArgvs()) {
        if (arg.compare(0, prefix.size(), prefix) == 0) {
            return std::stol(arg.substr(prefix.size()));
        }
    }
    return otherwise;
}

std::string Report(unsigned seed, const Outcome& outcome, const Sequence& shortest, const Outcome& replay) {
    std::string text = "sequence seed " + std::to_string(seed) + " (replay: --explore_seed=" + std::to_string(seed) +
                       ") failed after step " + std::to_string(outcome.failedAt) + ":\n";
    for (const std::string& problem : outcome.problems) {
        text += "  " + problem + "\n";
    }
    text += "shortest failing sequence found (" + std::to_string(shortest.steps.size()) + " steps, " +
            (shortest.installedFirst ? "filter installed first" : "root hub started first") + "):\n";
    for (size_t i = 0; i < replay.log.size(); ++i) {
        text += "  " + std::to_string(i + 1) + ". " + replay.log[i] + "\n";
    }
    for (const std::string& problem : replay.problems) {
        text += "  => " + problem + "\n";
    }
    return text;
}

TEST(ExploreSequences, TenThousandSeededSequencesKeepEveryInvariantAfterEveryStep) {
    const long only = Flag("explore_seed", -1);
    const long count = only >= 0 ? 1 : Flag("explore_sequences", 10000);
    auto started = std::chrono::steady_clock::now();
    size_t steps = 0;
    long played = 0;
    unsigned failures = 0;
    for (long i = 0; i < count && failures < 3; ++i) {
        unsigned seed = only >= 0 ? static_cast<unsigned>(only) : static_cast<unsigned>(i + 1);
        Sequence sequence = Generate(seed);
        steps += sequence.steps.size();
        ++played;
        Outcome outcome = Play(sequence, only >= 0);
        if (!outcome.failed) {
            continue;
        }
        ++failures;
        Sequence shortest = Shrink(sequence, outcome.failedAt);
        Outcome replay = Play(shortest);
        ADD_FAILURE() << Report(seed, outcome, shortest, replay);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%ld sequences, %zu steps, %.1f s\n", played, steps, seconds);
}

}  // namespace
