// A sequence of events over a USB tree, made from a seed; played over a fresh kernel with the
// invariants checked after every step, and cut down to a shorter one that still fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace explore {

enum class Event : uint8_t {
    PlugHub,
    PlugPhone,
    PlugKeyboard,
    PlugPortable,
    Unplug,
    SurpriseRemove,
    FinishRemove,
    QueryRemoveThenCancel,
    Stop,
    Start,
    Suspend,
    Resume,
    SystemSleepAndWake,
    OpenHandle,
    CloseHandle,
    Order,
    TwoOrdersAtOnce,
    ForeignRequest,
    Traffic,
    WatchStart,
    WatchQuery,
    RunWorkItems,
    WaitWake,
};

// A step picks its targets from a and b when it runs, so any subsequence is a valid sequence.
struct Step {
    Event event;
    uint32_t a;
    uint32_t b;
};

struct Sequence {
    bool installedFirst;  // the filter before the root hub, or the root hub before the filter
    std::vector<Step> steps;
};

Sequence Generate(unsigned seed);

struct Outcome {
    bool failed = false;
    size_t failedAt = 0;  // steps played when the first problem showed (steps.size() + 1: at the end)
    std::vector<std::string> problems;
    std::vector<std::string> log;
};

Outcome Play(const Sequence& sequence, bool verbose = false);

// Cuts steps out, larger chunks first, as long as the sequence still fails.
Sequence Shrink(Sequence sequence, size_t failedAt);

}  // namespace explore
