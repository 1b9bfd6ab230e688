// The way both demo programs tell their story: numbered steps, each saying what happens, then one
// line per observation that proves it. A step holds only if every observation in it held, and
// the program's exit code is 0 only if every step held.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>

namespace story {

class Story {
public:
    explicit Story(std::string title) : title_(std::move(title)) {
        // Text mode would turn every line end into CR LF on the Linux terminal.
        _setmode(_fileno(stdout), _O_BINARY);
        std::printf("%s\n", title_.c_str());
        std::fflush(stdout);
    }

    // Begins a step; the one before it is judged first.
    void Step(const std::string& what) {
        Close();
        ++steps_;
        open_ = true;
        held_ = true;
        observed_ = 0;
        std::printf("\n%d. %s\n", steps_, what.c_str());
        std::fflush(stdout);
    }

    // One observation. A failed one shows what was seen instead.
    bool Proof(bool held, const std::string& observation, const std::string& seen = "") {
        ++observed_;
        if (held) {
            std::printf("   ok    %s\n", observation.c_str());
        } else {
            held_ = false;
            std::printf("   FAIL  %s\n", observation.c_str());
            if (!seen.empty()) {
                std::printf("         seen instead: %s\n", seen.c_str());
            }
        }
        std::fflush(stdout);
        return held;
    }

    // A line of evidence as a program wrote it (a debug line, a record, a definition).
    void Show(const std::string& source, const std::string& text) {
        std::printf("   %-5s %s\n", source.c_str(), Printable(text).c_str());
        std::fflush(stdout);
    }

    // Plain commentary under a step.
    void Say(const std::string& text) {
        std::printf("         %s\n", text.c_str());
        std::fflush(stdout);
    }

    // Judges the last step and prints the verdict; returns the exit code.
    int End() {
        Close();
        if (failed_.empty()) {
            std::printf("\n%s: all %d steps proven.\n", title_.c_str(), steps_);
        } else {
            std::string list;
            for (int n : failed_) {
                list += (list.empty() ? "" : ", ") + std::to_string(n);
            }
            std::printf("\n%s: %zu of %d steps NOT proven (%s).\n", title_.c_str(), failed_.size(), steps_,
                        list.c_str());
        }
        std::fflush(stdout);
        return failed_.empty() ? 0 : 1;
    }

    bool StepHeld() const { return held_; }

    // Control characters shown as escapes, so a captured line stays one line.
    static std::string Printable(const std::string& text) {
        std::string out;
        for (unsigned char c : text) {
            if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else if (c == '\t') {
                out += "\\t";
            } else if (c < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    }

private:
    void Close() {
        if (!open_) {
            return;
        }
        open_ = false;
        // A step nothing was observed in proves nothing.
        if (observed_ == 0) {
            held_ = false;
        }
        std::printf("   => %s\n", held_ ? "proven" : "NOT proven");
        if (!held_) {
            failed_.push_back(steps_);
        }
        std::fflush(stdout);
    }

    std::string title_;
    int steps_ = 0;
    bool open_ = false;
    bool held_ = true;
    int observed_ = 0;
    std::vector<int> failed_;
};

}  // namespace story
