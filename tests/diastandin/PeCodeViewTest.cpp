#include "PeCodeView.h"
#include "PdbIndex.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace TQ::PLATFORM::PDB;

namespace {

void put16(std::string &b, size_t at, uint16_t v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char(v >> 8);
}

void put32(std::string &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

// A minimal PE32 image: one section at RVA 0x1000, file offset 0x200, holding the debug
// directory at its start and the RSDS record right after it.
std::string handMadeImage(const std::string &pdbPath)
{
    std::string b(0x400, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x80);
    put32(b, 0x80, 0x00004550);
    const size_t fh = 0x84;
    put16(b, fh + 0, 0x14C); // i386
    put16(b, fh + 2, 1);     // one section
    put16(b, fh + 16, 224);  // optional header size
    const size_t opt = fh + 20;
    put16(b, opt, 0x10B);
    put32(b, opt + 92, 16);             // data directories
    put32(b, opt + 96 + 8 * 6, 0x1000); // debug directory RVA
    put32(b, opt + 96 + 8 * 6 + 4, 28); // one entry
    const size_t sec = opt + 224;
    std::memcpy(&b[sec], ".rdata", 6);
    put32(b, sec + 8, 0x200);   // virtual size
    put32(b, sec + 12, 0x1000); // virtual address
    put32(b, sec + 16, 0x200);  // raw size
    put32(b, sec + 20, 0x200);  // raw pointer
    const size_t dir = 0x200;
    const size_t cv = 0x220;
    put32(b, dir + 12, 2); // CodeView
    put32(b, dir + 16, uint32_t(24 + pdbPath.size() + 1));
    put32(b, dir + 20, 0x1000 + 0x20);
    put32(b, dir + 24, uint32_t(cv));
    std::memcpy(&b[cv], "RSDS", 4);
    for (int i = 0; i < 16; ++i)
        b[cv + 4 + i] = char(0xA0 + i);
    put32(b, cv + 20, 7);
    std::memcpy(&b[cv + 24], pdbPath.data(), pdbPath.size());
    return b;
}

PeReadResult read(const std::string &bytes, CodeViewRecord &record)
{
    return readCodeViewRecord(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                              record);
}

// One field of the hand-made image changed, or the image cut short.
std::string changed(size_t at, uint32_t value, int width = 4)
{
    std::string b = handMadeImage("x.pdb");
    if (width == 2)
        put16(b, at, uint16_t(value));
    else
        put32(b, at, value);
    return b;
}

constexpr size_t kOptional = 0x84 + 20, kDebugEntry = kOptional + 96 + 8 * 6;

TEST(PeCodeView, EveryBrokenPlaceIsToldWithoutReadingPastTheEnd)
{
    std::string oldFormat = handMadeImage("x.pdb");
    std::memcpy(&oldFormat[0x220], "NB10", 4);
    const std::string good = handMadeImage("x.pdb");
    struct Case
    {
        const char *what;
        std::string bytes;
        PeReadResult expected;
    };
    const Case cases[] = {
        {"empty", "", PeReadResult::NotPe},
        {"MZ only", "MZ", PeReadResult::NotPe},
        {"text", "plain text, not an image at all", PeReadResult::NotPe},
        {"cut before the PE signature", good.substr(0, 0x82), PeReadResult::NotPe},
        {"cut in the optional header", good.substr(0, 0x100), PeReadResult::NotPe},
        {"cut in the section table", good.substr(0, 0x190), PeReadResult::NotPe},
        {"header offset past the end", changed(0x3C, 0xFFFFFFF0u), PeReadResult::NotPe},
        {"optional header of another kind", changed(kOptional, 0x1234, 2), PeReadResult::NotPe},
        {"optional header too large", changed(0x84 + 16, 0xFFFF, 2), PeReadResult::NotPe},
        {"no debug directory", changed(kDebugEntry, 0), PeReadResult::NoDebugDirectory},
        {"six data directories", changed(kOptional + 92, 6), PeReadResult::NoDebugDirectory},
        {"debug directory outside sections", changed(kDebugEntry, 0x9000), PeReadResult::Corrupt},
        {"record outside the file", changed(0x200 + 24, 0xFFFFFF00u), PeReadResult::Corrupt},
        {"record too large", changed(0x200 + 16, 0x7FFFFFFF), PeReadResult::Corrupt},
        {"entry not CodeView", changed(0x200 + 12, 4), PeReadResult::NoCodeView},
        {"old CodeView format", oldFormat, PeReadResult::NoCodeView},
    };
    for (const Case &c : cases) {
        CodeViewRecord r;
        EXPECT_EQ(read(c.bytes, r), c.expected) << c.what;
    }
}

TEST(PeCodeView, ReadsGuidAgeAndPathUpToTheRecordsEnd)
{
    CodeViewRecord r;
    ASSERT_EQ(read(handMadeImage("C:\\out\\prog.pdb"), r), PeReadResult::Ok);
    EXPECT_EQ(r.pdbPath, "C:\\out\\prog.pdb");
    EXPECT_EQ(r.age, 7u);
    EXPECT_EQ(r.guid[0], 0xA0);
    EXPECT_EQ(r.guid[15], 0xAF);
    // A record that ends right after "abc": the rest of the path is not part of it.
    std::string image = handMadeImage("abc.pdb");
    put32(image, 0x200 + 16, 24 + 3);
    ASSERT_EQ(read(image, r), PeReadResult::Ok);
    EXPECT_EQ(r.pdbPath, "abc");
}

TEST(PdbLookup, CandidatesFollowTheRecordThenTheImageFolder)
{
    using C = std::vector<std::string>;
    EXPECT_EQ(PdbIndex::pdbCandidates("/img/prog.exe", "C:\\build\\out\\prog.pdb"),
              (C{"C:/build/out/prog.pdb", "/img/prog.pdb"}));
    EXPECT_EQ(PdbIndex::pdbCandidates("/img/prog.exe", "/abs/dir/prog.pdb"),
              (C{"/abs/dir/prog.pdb", "/img/prog.pdb"}));
    // A bare or relative record is taken relative to the image, never to the working folder.
    EXPECT_EQ(PdbIndex::pdbCandidates("/img/prog.exe", "prog.pdb"), (C{"/img/prog.pdb"}));
    EXPECT_EQ(PdbIndex::pdbCandidates("/img/prog.exe", "sub\\prog.pdb"),
              (C{"/img/sub/prog.pdb", "/img/prog.pdb"}));
    EXPECT_EQ(PdbIndex::pdbCandidates("/img/prog.exe", ""), C{});
}

} // namespace
