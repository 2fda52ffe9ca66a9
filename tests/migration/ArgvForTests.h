// Argument vectors for the command-line parser tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

namespace argtest {

// A writable argument vector, as the parsers rewrite it.
class Argv {
public:
    explicit Argv(const std::vector<const char*>& words)
    {
        for (const char* w : words)
            storage.emplace_back(w, w + std::strlen(w) + 1);
        for (auto& s : storage)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(pointers.size()) - 1; }
    char** argv() { return pointers.data(); }
    std::string word(int i) const { return pointers[i]; }

private:
    std::vector<std::vector<char>> storage;
    std::vector<char*> pointers;
};

// The words, each followed by a blank: a command line for a test trace.
inline std::string join(const std::vector<const char*>& words)
{
    std::string s;
    for (const char* w : words)
        s += std::string(w) + " ";
    return s;
}

} // namespace argtest
