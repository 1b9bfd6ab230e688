#include "explore_sequences.h"

#include <algorithm>
#include <random>
#include <utility>

namespace explore {

namespace {

// How often each event is drawn: cheap events are drawn more often than whole plugs.
constexpr std::pair<Event, unsigned> WEIGHTS[] = {
    {Event::PlugHub, 3},
    {Event::PlugPhone, 8},
    {Event::PlugKeyboard, 2},
    {Event::PlugPortable, 2},
    {Event::Unplug, 4},
    {Event::SurpriseRemove, 3},
    {Event::FinishRemove, 3},
    {Event::QueryRemoveThenCancel, 2},
    {Event::Stop, 2},
    {Event::Start, 3},
    {Event::Suspend, 3},
    {Event::Resume, 4},
    {Event::SystemSleepAndWake, 1},
    {Event::OpenHandle, 10},
    {Event::CloseHandle, 4},
    {Event::Order, 14},
    {Event::TwoOrdersAtOnce, 2},
    {Event::ForeignRequest, 8},
    {Event::Traffic, 3},
    {Event::WatchStart, 3},
    {Event::WatchQuery, 3},
    {Event::RunWorkItems, 4},
    {Event::WaitWake, 1},
};

}  // namespace

Sequence Generate(unsigned seed) {
    std::mt19937 random(seed);
    unsigned total = 0;
    for (const auto& weight : WEIGHTS) {
        total += weight.second;
    }
    Sequence sequence;
    sequence.installedFirst = random() % 2 == 0;
    unsigned length = 1 + random() % 40;
    for (unsigned i = 0; i < length; ++i) {
        unsigned pick = random() % total;
        Event event = WEIGHTS[0].first;
        for (const auto& weight : WEIGHTS) {
            if (pick < weight.second) {
                event = weight.first;
                break;
            }
            pick -= weight.second;
        }
        sequence.steps.push_back({event, static_cast<uint32_t>(random()), static_cast<uint32_t>(random())});
    }
    return sequence;
}

Sequence Shrink(Sequence sequence, size_t failedAt) {
    sequence.steps.resize(std::min(failedAt, sequence.steps.size()));
    unsigned budget = 400;
    size_t chunk = std::max<size_t>(1, sequence.steps.size() / 2);
    for (;;) {
        bool cut = false;
        for (size_t i = 0; i + chunk <= sequence.steps.size() && budget;) {
            Sequence candidate = sequence;
            candidate.steps.erase(candidate.steps.begin() + static_cast<ptrdiff_t>(i),
                                  candidate.steps.begin() + static_cast<ptrdiff_t>(i + chunk));
            --budget;
            Outcome outcome = Play(candidate);
            if (outcome.failed) {
                candidate.steps.resize(std::min(outcome.failedAt, candidate.steps.size()));
                sequence = candidate;
                cut = true;
            } else {
                i += chunk;
            }
        }
        // Single steps are tried again until none can go, as a cut changes what later steps pick.
        if (!budget || (chunk == 1 && !cut)) {
            return sequence;
        }
        chunk = std::max<size_t>(1, chunk / 2);
    }
}

}  // namespace explore
