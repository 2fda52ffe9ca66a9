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
//
// An EXPUNGE renumbers every message above it, and a source may send
// thousands in a row: none moves an entry of the vector. An expunged entry
// stays in its slot, marked, and a count of the live slots (a Fenwick tree,
// kept only while there are marked slots) finds the slot of a number; the
// marked slots are dropped once they are as many as the live ones. The
// map's numbers are kept with one offset, so an EXPUNGE below all of them
// changes only the offset, and one among them renumbers those on its
// smaller side. Each EXPUNGE thus costs the logarithm of the vector's
// length, plus what it renumbers in the map.
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
        if (number <= inOrder())
            return &slots[slotOf(number)];
        if (number == inOrder() + 1)
            append(Entry());
        else
            sparse.emplace(number + shift, Entry());
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
        if (number == 0)
            return 0;
        if (number <= inOrder()) {
            if (gone == 0)
                buildIndex();
            const std::size_t slot = slotOf(number);
            const std::uint8_t state = slots[slot].state;
            slots[slot].state = Gone;
            ++gone;
            for (std::size_t i = slot + 1; i < index.size(); i += i & (~i + 1), ++work)
                --index[i];
            // Every number of the map lies above it.
            ++shift;
            if (gone >= slots.size() - gone)
                dropGone();
            settle();
            return state;
        }
        const unsigned long key = number + shift;
        std::uint8_t state = 0;
        auto at = sparse.lower_bound(key);
        if (at != sparse.end() && at->first == key) {
            state = at->second.state;
            at = sparse.erase(at);
        }
        // The keys above move down by one, or those below up by one and the
        // offset with them, whichever are fewer.
        auto below = sparse.begin();
        auto above = sparse.end();
        while (below != at && above != at) {
            ++below;
            --above;
            ++work;
        }
        if (above == at) {
            for (auto it = at; it != sparse.end(); ++work)
                it = std::next(rekey(it, it->first - 1));
        } else {
            for (auto it = at; it != sparse.begin(); ++work)
                it = rekey(std::prev(it), std::prev(it)->first + 1);
            ++shift;
        }
        settle();
        return state;
    }

    // Numbers from 1 to count whose body came.
    unsigned long bodiesCame(unsigned long count) const
    {
        unsigned long came = 0;
        unsigned long number = 0;
        for (const Entry& e : slots) {
            if (e.state == Gone)
                continue;
            if (++number > count)
                break;
            if (e.state & BodyCame)
                ++came;
        }
        for (const auto& e : sparse)
            if (e.first - shift <= count && (e.second.state & BodyCame))
                ++came;
        return came;
    }

    // Ends the NIL bodies' wait for the end of their response.
    void settleNilBodies()
    {
        for (Entry& e : slots)
            if (e.state != Gone)
                e.state &= static_cast<std::uint8_t>(~NilBody);
        for (auto& e : sparse)
            e.second.state &= static_cast<std::uint8_t>(~NilBody);
    }

    // Entries moved or renumbered one at a time, and nodes of the count
    // visited, so far: what the table's upkeep cost, for tests of its bounds.
    unsigned long long steps() const { return work; }

private:
    // The state of an expunged slot; no live entry has it.
    static constexpr std::uint8_t Gone = 0xff;

    // Numbers held in the vector: 1 to this.
    unsigned long inOrder() const { return slots.size() - gone; }

    Entry* find(unsigned long number)
    {
        if (number <= inOrder())
            return &slots[slotOf(number)];
        const auto it = sparse.find(number + shift);
        return it == sparse.end() ? nullptr : &it->second;
    }

    // The slot of the number-th live entry.
    std::size_t slotOf(unsigned long number)
    {
        if (gone == 0)
            return number - 1;
        std::size_t at = 0;
        std::size_t step = 1;
        while (step * 2 < index.size())
            step *= 2;
        for (; step > 0; step /= 2, ++work) {
            if (at + step < index.size() && index[at + step] < number) {
                at += step;
                number -= index[at];
            }
        }
        return at;
    }

    // index[i] counts the live slots among the lowbit(i) slots up to slot
    // i - 1.
    void buildIndex()
    {
        index.assign(slots.size() + 1, 0);
        for (std::size_t i = 1; i < index.size(); ++i, ++work) {
            index[i] += slots[i - 1].state == Gone ? 0 : 1;
            const std::size_t up = i + (i & (~i + 1));
            if (up < index.size())
                index[up] += index[i];
        }
    }

    void append(const Entry& e)
    {
        slots.push_back(e);
        ++work;
        if (gone == 0)
            return;
        // The new node counts itself and the nodes it spans below it.
        const std::size_t i = index.size();
        std::uint32_t live = 1;
        for (std::size_t j = i - 1; j > i - (i & (~i + 1)); j -= j & (~j + 1), ++work)
            live += index[j];
        index.push_back(live);
    }

    void dropGone()
    {
        slots.erase(std::remove_if(slots.begin(), slots.end(), [](const Entry& e) { return e.state == Gone; }),
                    slots.end());
        work += slots.size();
        gone = 0;
        index.clear();
    }

    std::map<unsigned long, Entry>::iterator rekey(std::map<unsigned long, Entry>::iterator it, unsigned long key)
    {
        const auto next = std::next(it);
        auto node = sparse.extract(it);
        node.key() = key;
        return sparse.insert(next, std::move(node));
    }

    // Moves the map's entries into the vector while they continue it, or
    // all of them once they fill half the numbers they span.
    void settle()
    {
        while (!sparse.empty() && sparse.begin()->first - shift == inOrder() + 1) {
            append(sparse.begin()->second);
            sparse.erase(sparse.begin());
        }
        if (sparse.empty() || sparse.size() * 2 < sparse.rbegin()->first - shift - inOrder())
            return;
        const unsigned long last = sparse.rbegin()->first - shift;
        auto it = sparse.begin();
        for (unsigned long number = inOrder() + 1; number <= last; ++number) {
            if (it->first - shift == number)
                append((it++)->second);
            else
                append(Entry());
        }
        sparse.clear();
    }

    std::vector<Entry> slots;
    std::size_t gone = 0;
    std::vector<std::uint32_t> index;
    // A key of the map less shift is its number.
    std::map<unsigned long, Entry> sparse;
    unsigned long shift = 0;
    unsigned long long work = 0;
};
