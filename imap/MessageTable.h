#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "imap/FetchMessage.h"

// What the copy knows of each message of the folder, by message number: its
// date and flags, and whether its body came. Only numbers the source has
// announced are kept, and only once a response named them: numbers from 1
// up to where responses came without gaps in a vector (29 bytes each), the
// rest in a map, which becomes part of the vector once the gaps it spans
// would cost no more. So what the table holds grows with the responses that
// came, never with a number one of them names or a count the source claims.
class MessageTable {
public:
    // NilBody: BODY[] NIL, whether for a deleted message the end of the
    // response tells.
    enum : std::uint8_t { HasFlags = 1, HasDate = 2, BodyCame = 4, NilBody = 8 };

    struct Entry {
        std::array<char, internalDateLength> date;
        std::uint8_t dateLength = 0;
        std::uint8_t flagBits = 0;
        std::uint8_t state = 0;
    };

    static_assert(sizeof(Entry) == internalDateLength + 3, "the size stated above");

    // Null for 0 and for a number beyond announced.
    Entry* at(unsigned long number, unsigned long announced)
    {
        if (number == 0 || number > announced)
            return nullptr;
        if (number <= dense.size())
            return &dense[number - 1];
        if (number == dense.size() + 1)
            dense.emplace_back();
        else
            sparse.emplace(number, Entry());
        settle();
        return find(number);
    }

    // A later response's date and flags replace the earlier ones until the
    // body has come.
    static void update(Entry& e, const FetchedItems& items)
    {
        if (e.state & BodyCame)
            return;
        if (items.hasFlags) {
            e.flagBits = static_cast<std::uint8_t>(items.flagBits);
            e.state |= HasFlags;
        }
        if (items.hasDate && items.date.size() <= internalDateLength) {
            std::copy(items.date.begin(), items.date.end(), e.date.begin());
            e.dateLength = static_cast<std::uint8_t>(items.date.size());
            e.state |= HasDate;
        }
    }

    // The message of number left the folder: the numbers above it move down
    // by one. Its state (0 when no response named it).
    std::uint8_t expunge(unsigned long number)
    {
        std::uint8_t state = 0;
        if (number <= dense.size()) {
            state = dense[number - 1].state;
            work += dense.size() - number;
            dense.erase(dense.begin() + static_cast<std::ptrdiff_t>(number - 1));
        } else {
            const auto it = sparse.find(number);
            if (it != sparse.end()) {
                state = it->second.state;
                sparse.erase(it);
            }
        }
        std::map<unsigned long, Entry> moved;
        work += sparse.size();
        for (const auto& e : sparse)
            moved.emplace_hint(moved.end(), e.first > number ? e.first - 1 : e.first, e.second);
        sparse.swap(moved);
        settle();
        return state;
    }

    // Numbers from 1 to count whose body came.
    unsigned long bodiesCame(unsigned long count) const
    {
        unsigned long came = 0;
        const std::size_t last = static_cast<std::size_t>(std::min<unsigned long>(count, dense.size()));
        for (std::size_t i = 0; i < last; ++i)
            if (dense[i].state & BodyCame)
                ++came;
        for (const auto& e : sparse)
            if (e.first <= count && (e.second.state & BodyCame))
                ++came;
        return came;
    }

    // Ends the NIL bodies' wait for the end of their response.
    void settleNilBodies()
    {
        for (Entry& e : dense)
            e.state &= static_cast<std::uint8_t>(~NilBody);
        for (auto& e : sparse)
            e.second.state &= static_cast<std::uint8_t>(~NilBody);
    }

    // Entries moved or renumbered one at a time so far: what the table's
    // upkeep cost, for tests of its bounds.
    unsigned long long steps() const { return work; }

private:
    Entry* find(unsigned long number)
    {
        if (number <= dense.size())
            return &dense[number - 1];
        const auto it = sparse.find(number);
        return it == sparse.end() ? nullptr : &it->second;
    }

    // Moves the map's entries into the vector while they continue it, or
    // all of them once they fill half the numbers they span.
    void settle()
    {
        while (!sparse.empty() && sparse.begin()->first == dense.size() + 1) {
            dense.push_back(sparse.begin()->second);
            ++work;
            sparse.erase(sparse.begin());
        }
        if (sparse.empty() || sparse.size() * 2 < sparse.rbegin()->first - dense.size())
            return;
        dense.resize(static_cast<std::size_t>(sparse.rbegin()->first));
        for (const auto& e : sparse)
            dense[e.first - 1] = e.second;
        work += sparse.size();
        sparse.clear();
    }

    std::vector<Entry> dense;
    std::map<unsigned long, Entry> sparse;
    unsigned long long work = 0;
};
