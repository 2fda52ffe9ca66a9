// A source mailbox made by the tests themselves: messages that have broken
// IMAP clients before (protocol words at line starts, literal-like line ends,
// 8-bit and binary-looking bytes, a body of tens of megabytes), every
// standard flag, keywords, internal dates over several years, and folder
// names with blanks, non-ASCII letters, hierarchy levels and an INBOX child.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/Dovecot.h"

namespace corpus {

struct Seed {
    std::string folder;      // UTF-8, "/" between levels
    std::string bytes;
    std::string flagLetters; // Maildir letters; a-z are keywords
    std::time_t internalDate;
};

inline std::string header(const std::string& subject)
{
    return "From: Sender <sender@example.test>\r\nTo: user@example.test\r\nSubject: " + subject +
           "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\n\r\n";
}

// Deterministic bytes that look like an attachment: every value but NUL
// (which a server may rewrite), in runs of lines.
inline std::string binaryLooking(std::size_t n, unsigned seed)
{
    std::string s;
    s.reserve(n);
    uint32_t x = seed * 2654435761u + 1;
    while (s.size() < n) {
        x = x * 1103515245u + 12345u;
        char c = static_cast<char>((x >> 16) & 0xff);
        if (c == '\0')
            c = '\x01';
        if (c == '\r' || c == '\n')
            c = 'x';
        s += c;
        if (s.size() % 998 == 997)
            s += "\r\n";
    }
    return s;
}

// Plain text lines of about n bytes.
inline std::string text(std::size_t n, const std::string& word)
{
    std::string s;
    while (s.size() < n)
        s += word + " line " + std::to_string(s.size()) + " of plain text for the copy\r\n";
    return s;
}

// The folders a run creates, including an empty one.
inline std::vector<std::string> folders()
{
    return {"INBOX", "Sent Items", "Archive/2007", "Archive/2007/Q1", "INBOX/Sub",
            "Entw\xc3\xbcrfe", "\xd0\x9f\xd0\xb8\xd1\x81\xd1\x8c\xd0\xbc\xd0\xb0", "Empty", "Quotes \"and\" more"};
}

// The messages; bigBytes sets the size of the one large message (0: none).
inline std::vector<Seed> seeds(std::size_t bigBytes)
{
    const std::time_t base = 1167609600;  // 2007-01-01 00:00:00 UTC
    std::vector<Seed> out;
    auto add = [&](const std::string& folder, std::string bytes, const std::string& flags, long days) {
        out.push_back(Seed{folder, std::move(bytes), flags, base + days * 86400 + days * 3607 % 86400});
    };
    add("INBOX", header("plain") + text(6000, "hello"), "S", 1);
    add("INBOX", header("protocol words") +
                     "A OK looks like a tagged reply\r\n* BYE looks like a goodbye\r\n"
                     "Z1 OK [APPENDUID 1 2] done\r\nends like a literal {5}\r\n}\r\n)\r\n"
                     ". \r\n* 3 FETCH (BODY[] {12}\r\nA NO\r\n",
        "RS", 40);
    add("INBOX", header("8-bit") + "Gr\xc3\xbc\xc3\x9f" "e, \xe9\xe8\xea latin-1, \xff\xfe\x80 raw bytes\r\n", "F", 400);
    add("INBOX", header("every flag") + "all of them\r\n", "DFRST", 700);
    add("INBOX", header("keywords") + "with keywords\r\n", "Sab", 1200);
    add("INBOX", header("no flags") + "nothing set\r\n", "", 2500);
    add("INBOX", header("bare line feeds") + "one\ntwo\nthree\n", "S", 3000);
    add("Sent Items", header("attachment") + binaryLooking(300 * 1024, 1), "S", 10);
    add("Sent Items", header("draft") + "draft text\r\n", "D", 11);
    add("Archive/2007", header("deleted") + "marked deleted\r\n", "ST", 12);
    add("Archive/2007/Q1", header("deep") + text(2000, "deep"), "R", 13);
    add("INBOX/Sub", header("inbox child") + "child of INBOX\r\n", "", 14);
    add("Entw\xc3\xbcrfe", header("umlaut folder") + "x\r\n", "D", 15);
    add("\xd0\x9f\xd0\xb8\xd1\x81\xd1\x8c\xd0\xbc\xd0\xb0", header("cyrillic folder") + "y\r\n", "S", 16);
    add("Quotes \"and\" more", header("quoted folder") + "z\r\n", "", 17);
    if (bigBytes)
        add("Archive/2007", header("big") + binaryLooking(bigBytes, 7), "S", 18);
    return out;
}

inline std::size_t messagesIn(const std::vector<Seed>& s, const std::string& folder)
{
    std::size_t n = 0;
    for (const Seed& seed : s)
        n += seed.folder == folder;
    return n;
}

// Writes the mailbox into the Maildir of login and has Dovecot index it.
inline void seed(testsupport::Dovecot& d, const std::string& login, const std::vector<Seed>& s)
{
    for (const std::string& f : folders())
        d.createFolder(login, f);
    // The letters a and b stand for two keywords of every folder.
    for (const std::string& f : folders()) {
        std::string path = d.doveadm({"mailbox", "path", "-u", login, f});
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
            path.pop_back();
        testsupport::writeFile(path + "/dovecot-keywords", "0 $Forwarded\n1 Project\n");
        testsupport::runShell("chown 65534:65534 " + testsupport::shellQuote(path + "/dovecot-keywords") +
                              " 2>/dev/null");
    }
    for (const Seed& m : s)
        d.putMessage(login, m.folder, m.bytes, m.flagLetters, m.internalDate);
    d.index(login);
}

// The standard flags of a flag list, without \Recent: what a copy keeps.
inline std::vector<std::string> standardFlags(const std::vector<std::string>& flags)
{
    static const char* const kept[] = {"\\Answered", "\\Deleted", "\\Draft", "\\Flagged", "\\Seen"};
    std::vector<std::string> out;
    for (const std::string& f : flags)
        for (const char* k : kept)
            if (f == k)
                out.push_back(f);
    return out;
}

} // namespace corpus
