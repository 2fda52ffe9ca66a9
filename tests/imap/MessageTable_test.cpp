// The bulk copy's table of messages by number: renumbered by every EXPUNGE
// exactly as the source renumbers its messages, at a cost in proportion to
// the responses and EXPUNGEs that came.

#include "imap/MessageTable.h"

#include <gtest/gtest.h>

#include <vector>
#include <random>
#include <string>

namespace {

// Marks an entry with id, kept in its date field.
void mark(MessageTable::Entry& e, unsigned id)
{
    const std::string text = std::to_string(id);
    std::copy(text.begin(), text.end(), e.date.begin());
    e.dateLength = static_cast<std::uint8_t>(text.size());
    e.state |= MessageTable::HasDate;
}

std::string idOf(const MessageTable::Entry& e)
{
    return std::string(e.date.data(), e.dateLength);
}

// What the table must hold: the id and state of each number (from 1) a
// response named, an empty id for the others, renumbered by hand.
struct Model {
    explicit Model(unsigned long announced) : entries(announced) {}

    std::vector<std::pair<std::string, std::uint8_t>> entries;
};

TEST(MessageTable, AnExpungeRenumbersEveryEntryAboveIt)
{
    // Responses in order, out of order and far beyond the rest, mixed with
    // EXPUNGEs anywhere: below, inside and above what the table holds.
    for (unsigned seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        unsigned long announced = 2000;
        MessageTable table;
        Model model(announced);
        unsigned id = 0;
        unsigned long next = 1;
        for (int op = 0; op < 3000; ++op) {
            const unsigned kind = random() % 10;
            unsigned long number = 0;
            if (kind < 4)
                number = next++;  // the next in order
            else if (kind < 6)
                number = 1 + random() % announced;  // anywhere
            else if (kind < 7)
                number = announced - random() % 50;  // near the top
            if (number != 0) {
                MessageTable::Entry* e = table.at(number, announced);
                if (number > announced) {
                    EXPECT_EQ(nullptr, e);
                    continue;
                }
                ASSERT_NE(nullptr, e);
                auto& expected = model.entries[number - 1];
                if (expected.first.empty()) {
                    EXPECT_EQ(0, e->state);
                    mark(*e, ++id);
                    if (random() % 3 == 0)
                        e->state |= MessageTable::BodyCame;
                    expected = {idOf(*e), e->state};
                }
                EXPECT_EQ(expected.first, idOf(*e)) << "number " << number;
                continue;
            }
            number = random() % 4 == 0 ? 1 : 1 + random() % (announced + 5);
            if (number > announced)
                continue;
            EXPECT_EQ(model.entries[number - 1].second, table.expunge(number)) << "number " << number;
            model.entries.erase(model.entries.begin() + static_cast<std::ptrdiff_t>(number - 1));
            --announced;
            if (next > number)
                --next;
        }
        unsigned long came = 0;
        for (unsigned long number = 1; number <= announced; ++number) {
            const auto& e = model.entries[number - 1];
            if (e.first.empty())
                continue;
            MessageTable::Entry* got = table.at(number, announced);
            ASSERT_NE(nullptr, got) << "number " << number;
            EXPECT_EQ(e.first, idOf(*got)) << "number " << number;
            EXPECT_EQ(e.second, got->state) << "number " << number;
            if (e.second & MessageTable::BodyCame)
                ++came;
        }
        EXPECT_EQ(came, table.bodiesCame(announced));
    }
}

TEST(MessageTable, AnExpungeStormCostsInProportionToItsLength)
{
    // 12 000 dates and flags, then 4 000 EXPUNGEs of one number each (what
    // a server may send, against the rules, amid a FETCH response). The
    // steps counted grow as n log n: renumbering by moving every entry above
    // would take tens of millions here.
    constexpr unsigned long entries = 12000;
    constexpr unsigned long expunges = 4000;
    struct Row {
        const char* name;
        bool highestFirst;       // the responses came from the highest number down
        unsigned long lowest;    // the lowest number a response named
        unsigned long (*number)(unsigned long count);  // expunged, of count messages
    } rows[] = {
        {"the first, in order", false, 1, [](unsigned long) { return 1ul; }},
        {"the first, highest first", true, 1, [](unsigned long) { return 1ul; }},
        {"the middle", false, 1, [](unsigned long count) { return count / 2; }},
        {"the last", false, 1, [](unsigned long count) { return count; }},
        {"below every entry, which came out of order", true, 8001, [](unsigned long) { return 1ul; }},
        {"near the first, out of order", true, 8001, [](unsigned long) { return 7ul; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MessageTable table;
        unsigned long count = entries;
        for (unsigned long k = 0; k <= entries - row.lowest; ++k) {
            const unsigned long number = row.highestFirst ? entries - k : row.lowest + k;
            MessageTable::Entry* e = table.at(number, count);
            ASSERT_NE(nullptr, e);
            mark(*e, static_cast<unsigned>(number));
        }
        for (unsigned long k = 0; k < expunges; ++k)
            table.expunge(row.number(count--));
        EXPECT_LT(table.steps(), 40 * (entries + expunges)) << table.steps();
        // The last message is still the last one.
        MessageTable::Entry* top = table.at(count, count);
        ASSERT_NE(nullptr, top);
        if (row.number(2) != 2) {
            EXPECT_EQ(std::to_string(entries), idOf(*top));
        }
    }
}

} // namespace
