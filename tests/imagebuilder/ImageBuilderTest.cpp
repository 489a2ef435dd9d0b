// Checks the test images on the files themselves: the map's layout, the hook calls and
// prologues in the PE, the load address, the PDB's match with the image, and the shapes of
// Microsoft's linker given to the reshaped ones.
#include "ImageBuilderTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sys/stat.h>

using namespace ImageBuilderTest;
namespace fs = std::filesystem;

namespace {

const char *const kStubObject = "crtstubs.obj";

struct ImageFiles
{
    std::string image, pdb, map;
};

ImageFiles filesOf(const std::string &folder, const std::string &name, bool dll = false)
{
    const std::string base = folder + "/" + name;
    return {base + (dll ? ".dll" : ".exe"), base + ".pdb", base + ".map"};
}

ImageFiles testImage(const std::string &name, bool dll = false)
{
    return filesOf(std::string(TQT_TEST_IMAGES_DIR) + "/" + name, name, dll);
}

struct Loaded
{
    PeImage pe;
    MapFile map;
};

Loaded load(const ImageFiles &files)
{
    auto pe = PeImage::load(files.image);
    EXPECT_TRUE(pe.has_value()) << files.image;
    return {pe ? *pe : PeImage(), MapFile::load(files.map)};
}

uint32_t rvaOf(const Loaded &l, const MapSymbol &s)
{
    return s.address - l.pe.imageBase();
}

std::optional<uint32_t> penterRva(const Loaded &l)
{
    const auto found = l.map.named("__penter");
    if (found.size() != 1)
        return std::nullopt;
    return rvaOf(l, *found[0]);
}

enum class Entry { FramedHook, UnframedHook, NoHook, Unreadable };

Entry entryOf(const Loaded &l, const MapSymbol &s, std::optional<uint32_t> hook)
{
    const uint32_t rva = rvaOf(l, s);
    const auto bytes = l.pe.bytesAt(rva, 8);
    if (!bytes)
        return Entry::Unreadable;
    const auto &b = *bytes;
    if (b[0] != 0xE8 || !hook)
        return Entry::NoHook;
    const uint32_t rel =
        uint32_t(b[1]) | uint32_t(b[2]) << 8 | uint32_t(b[3]) << 16 | uint32_t(b[4]) << 24;
    if (rva + 5 + rel != *hook)
        return Entry::NoHook;
    return b[5] == 0x55 && b[6] == 0x8B && b[7] == 0xEC ? Entry::FramedHook : Entry::UnframedHook;
}

std::vector<const MapSymbol *> ownFunctions(const MapFile &map)
{
    std::vector<const MapSymbol *> own;
    for (const MapSymbol &s : map.symbols)
        if (s.function && s.object != kStubObject)
            own.push_back(&s);
    return own;
}

std::string run(const std::string &commandLine, int *status)
{
    std::string out;
    *status = runCommand(commandLine, &out);
    return out;
}

std::string pdbutil(const std::string &arguments, int *status)
{
    return run(shellQuote(TQT_PDBUTIL) + " " + arguments, status);
}

class ScratchDir
{
public:
    ScratchDir()
    {
        std::string pattern = (fs::temp_directory_path() / "tqt_imagebuilder_XXXXXX").string();
        if (mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        if (!m_path.empty())
            fs::remove_all(m_path, ec);
    }
    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

std::string builderCommand(const std::string &script)
{
    return shellQuote(TQT_PYTHON) + " " +
           shellQuote(std::string(TQT_IMAGEBUILDER_DIR) + "/" + script) + " --clang " +
           shellQuote(TQT_CLANG14) + " --lld-link " + shellQuote(TQT_LLD_LINK14);
}

void writeText(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

fs::file_time_type mtime(const std::string &path)
{
    std::error_code ec;
    return fs::last_write_time(path, ec);
}

enum class Hooks { Framed, SomeUnframed, None };

struct Image
{
    const char *name;
    bool dll;
    uint32_t base;
    Hooks hooks;
};

const Image kImages[] = {
    {"sample", false, 0x400000, Hooks::Framed},
    {"unframed", false, 0x400000, Hooks::SomeUnframed},
    {"folded", false, 0x400000, Hooks::Framed},
    {"sampledll", true, 0x10000000, Hooks::Framed},
    {"highbase", false, 0x80000000, Hooks::Framed},
    {"nopenter", false, 0x400000, Hooks::None},
    {"classes", false, 0x400000, Hooks::Framed},
    {"classes2", false, 0x400000, Hooks::Framed},
    {"samename", false, 0x400000, Hooks::Framed},
    {"msvcinc", false, 0x400000, Hooks::Framed},
    {"msvcfast", false, 0x400000, Hooks::Framed},
};

} // namespace

// What the tests of the other subsystems take for granted about every image.
TEST(TestImage, MapImageAndPdbAgree)
{
    const std::regex guidRe(R"(GUID: (\{[0-9A-F-]+\}))"), ageRe(R"(Age: (\d+))");
    const std::set<std::string> unframed = {"_unframedAdd", "?bump@Counter@Calc@@QAEHXZ"};
    for (const Image &image : kImages) {
        SCOPED_TRACE(image.name);
        const ImageFiles files = testImage(image.name, image.dll);
        const Loaded l = load(files);

        // The linker's layout, every address where its section:offset says.
        EXPECT_TRUE(l.map.crlfOnly);
        EXPECT_TRUE(l.map.layoutErrors.empty())
            << (l.map.layoutErrors.empty() ? "" : l.map.layoutErrors.front());
        for (const MapSymbol &s : l.map.symbols) {
            if (s.section == 0)
                continue; // linker-defined
            ASSERT_GE(s.section, 1u) << s.line;
            ASSERT_LE(s.section, l.pe.sections().size()) << s.line;
            const PeSection &sec = l.pe.sections()[s.section - 1];
            EXPECT_EQ(s.address, l.pe.imageBase() + sec.virtualAddress + s.offset) << s.line;
        }
        // The load address, stated before every function line so that none is read with 0.
        EXPECT_EQ(l.pe.isDll(), image.dll);
        EXPECT_EQ(l.pe.imageBase(), image.base);
        ASSERT_TRUE(l.map.imageBase.has_value());
        EXPECT_EQ(*l.map.imageBase, image.base);
        EXPECT_EQ(l.map.lines[l.map.imageBaseLine].substr(21, 13), "___ImageBase ");
        const auto own = ownFunctions(l.map);
        ASSERT_GE(own.size(), 3u);
        for (const MapSymbol *f : own)
            EXPECT_LT(l.map.imageBaseLine, f->lineIndex) << f->line;

        // Hooks where /Gh puts them: the own functions only, never the run-time stubs.
        const auto hook = penterRva(l);
        ASSERT_EQ(hook.has_value(), image.hooks != Hooks::None);
        for (const MapSymbol *f : own) {
            if (image.hooks == Hooks::None) {
                EXPECT_EQ(l.pe.bytesAt(rvaOf(l, *f), 3), (std::vector<uint8_t>{0x55, 0x8B, 0xEC}))
                    << f->line;
                continue;
            }
            const bool keepsClangsFrame =
                image.hooks == Hooks::SomeUnframed && unframed.count(f->name);
            EXPECT_EQ(entryOf(l, *f, hook),
                      keepsClangsFrame ? Entry::UnframedHook : Entry::FramedHook)
                << f->line;
        }
        if (hook) {
            size_t stubs = 0;
            for (const MapSymbol &s : l.map.symbols)
                if (s.function && s.object == kStubObject) {
                    ++stubs;
                    EXPECT_EQ(entryOf(l, s, hook), Entry::NoHook) << s.line;
                }
            EXPECT_GE(stubs, 3u); // __penter, the entry point, operator new at least
            EXPECT_EQ(l.pe.bytesAt(*hook, 1), std::vector<uint8_t>{0xC3}); // returns at once
        }

        // The PDB the image records, found where the record says (or beside the image), of
        // the image's build.
        const auto cv = l.pe.codeView();
        ASSERT_TRUE(cv.has_value());
        const fs::path recorded = fs::path(files.image).parent_path() / cv->pdbPath;
        EXPECT_TRUE(fs::equivalent(recorded, files.pdb)) << cv->pdbPath;
        int status = 0;
        const std::string summary = pdbutil("dump --summary " + shellQuote(files.pdb), &status);
        ASSERT_EQ(status, 0) << summary;
        std::smatch guid, age;
        ASSERT_TRUE(std::regex_search(summary, guid, guidRe)) << summary;
        ASSERT_TRUE(std::regex_search(summary, age, ageRe)) << summary;
        EXPECT_EQ(guid[1].str(), cv->guid);
        EXPECT_EQ(std::stoul(age[1].str()), cv->age);
    }
}

// The reshaped images against the sample they come from, as llvm-pdbutil sees them: the stale
// publics lie in the symbol record stream and are no publics; the fast-link hash has the bucket
// bitmap that LLVM refuses; the globals hash is reshaped alike; and a rebuild with lld-link's
// bucket count gives lld-link's hashes, so the reshaping writes the layout that readers expect.
TEST(TestImage, ReshapedDatabasesHaveMicrosoftsShapes)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const ImageFiles sample = testImage("sample");
    int status = 0;
    const std::string out = run(shellQuote(TQT_PYTHON) + " " +
                                    shellQuote(std::string(TQT_IMAGEBUILDER_DIR) + "/msvc_pdb.py") +
                                    " --from " + shellQuote(sample.image) +
                                    " --name usual --buckets 4096 --out " + shellQuote(dir.path()),
                                &status);
    ASSERT_EQ(status, 0) << out;

    // Stream sizes by name, and the publics as listed (addresses and names).
    const auto streams = [](const std::string &pdb) {
        int status = 0;
        const std::string text = pdbutil("dump -streams " + shellQuote(pdb), &status);
        std::map<std::string, long> sizes;
        const std::regex line(R"(\(\s*(\d+) bytes\): \[([^\]]+)\])");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
             it != std::sregex_iterator(); ++it)
            sizes[(*it)[2]] = std::stol((*it)[1]);
        return sizes;
    };
    const auto publics = [](const std::string &pdb, int *status) {
        return pdbutil("dump -publics -public-extras " + shellQuote(pdb), status);
    };
    int sampleStatus = 0;
    const std::string samplePublics = publics(sample.pdb, &sampleStatus);
    ASSERT_EQ(sampleStatus, 0);
    const auto sampleStreams = streams(sample.pdb);
    const long bitmapGrowth = 32768 - 516;

    struct Case
    {
        std::string pdb;
        bool fastLink, stale;
    };
    for (const Case &c : {Case{dir.path() + "/usual.pdb", false, false},
                          Case{testImage("msvcinc").pdb, false, true},
                          Case{testImage("msvcfast").pdb, true, true}}) {
        SCOPED_TRACE(c.pdb);
        const auto sizes = streams(c.pdb);
        // The bitmap grows; more buckets may take a chain each, at 4 bytes.
        for (const char *hash : {"Public Symbol Hash", "Global Symbol Hash"}) {
            const long growth = sizes.at(hash) - sampleStreams.at(hash);
            EXPECT_TRUE(c.fastLink ? growth >= bitmapGrowth && growth < bitmapGrowth + 4096
                                   : growth == 0)
                << hash << " grew by " << growth;
        }
        EXPECT_EQ(sizes.at("Symbol Records") > sampleStreams.at("Symbol Records"), c.stale);
        const std::string listed = publics(c.pdb, &status);
        if (c.fastLink) {
            EXPECT_NE(status, 0);
            EXPECT_NE(listed.find("Corrupted publics stream"), std::string::npos) << listed;
        } else {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(listed, samplePublics);
        }
        const std::string summary = pdbutil("dump -summary " + shellQuote(c.pdb), &status);
        EXPECT_NE(summary.find(c.stale ? "incrementally linked: true" : "linked: false"),
                  std::string::npos)
            << summary;
    }
}

TEST(ImageBuilderScript, RebuildsOnlyWhenInputsChange)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string src = dir.path() + "/prog.cpp";
    writeText(src, "int one() { return 1; }\nint main() { return one(); }\n");
    const std::string cmd = builderCommand("build_image.py") + " --name prog --out " +
                            shellQuote(dir.path() + "/out") + " " + shellQuote(src);
    const ImageFiles files = filesOf(dir.path() + "/out", "prog");
    int status = 0;
    std::string out = run(cmd, &status);
    ASSERT_EQ(status, 0) << out;
    const auto first = mtime(files.image);

    out = run(cmd, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(mtime(files.image), first);

    // An image patched in place is not the one the builder made: it is built again.
    {
        std::fstream image(files.image, std::ios::in | std::ios::out | std::ios::binary);
        image.seekp(0x200);
        image.put('\x90');
    }
    out = run(cmd, &status);
    ASSERT_EQ(status, 0) << out;
    const auto repaired = mtime(files.image);
    EXPECT_NE(repaired, first);

    writeText(src, "int two() { return 2; }\nint main() { return two(); }\n");
    out = run(cmd, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(mtime(files.image), repaired);
    const MapFile map = MapFile::load(files.map);
    EXPECT_EQ(map.named("?two@@YAHXZ").size(), 1u);
    EXPECT_TRUE(map.named("?one@@YAHXZ").empty());
}

TEST(ImageBuilderScript, RefusesBadRequests)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string src = dir.path() + "/prog.cpp";
    const std::string out = " --name prog --out " + shellQuote(dir.path() + "/out") + " ";
    struct Case
    {
        const char *source, *options, *told;
    };
    for (const Case &c :
         {Case{"int main() { return 0; }\n", "--unframed _nosuchfunction ", "_nosuchfunction"},
          Case{"int main() { return 0; }\n", "--base 12345 ", "aligned"},
          Case{"int main() { return undeclared; }\n", "", "undeclared"}}) {
        SCOPED_TRACE(c.told);
        writeText(src, c.source);
        int status = 0;
        const std::string text =
            run(builderCommand("build_image.py") + out + c.options + shellQuote(src), &status);
        EXPECT_NE(status, 0);
        EXPECT_NE(text.find(c.told), std::string::npos) << text;
        EXPECT_FALSE(fs::exists(dir.path() + "/out/prog.exe"));
    }
}

TEST(ImageGenerator, MakesExactlyTheRequestedFunctions)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    int status = 0;
    const std::string text =
        run(builderCommand("gen_synthetic.py") + " --functions 77 --per-file 12 --jobs 1 --out " +
                shellQuote(dir.path()),
            &status);
    ASSERT_EQ(status, 0) << text;
    const ImageFiles files = filesOf(dir.path(), "synth77");
    const Loaded l = load(files);
    EXPECT_TRUE(l.map.layoutErrors.empty());
    const auto hook = penterRva(l);
    ASSERT_TRUE(hook.has_value());
    const auto own = ownFunctions(l.map);
    EXPECT_EQ(own.size(), 77u);
    std::set<std::string> objects, kinds;
    for (const MapSymbol *f : own) {
        EXPECT_EQ(entryOf(l, *f, hook), Entry::FramedHook) << f->line;
        objects.insert(f->object);
        for (const char *prefix : {"??0", "??1", "??$", "_synth_", "?make@"})
            if (f->name.rfind(prefix, 0) == 0)
                kinds.insert(prefix);
    }
    EXPECT_EQ(objects.size(), 1u + (76u + 11u) / 12u); // main's file plus the full ones
    EXPECT_EQ(kinds.size(), 5u);
}
