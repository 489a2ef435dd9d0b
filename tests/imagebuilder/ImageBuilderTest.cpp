// Checks the test images on the files themselves: the map's layout, the hook calls and
// prologues in the PE, the linking options, and the PDB's match with the image.
#include "ImageBuilderTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
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

const std::vector<std::pair<std::string, bool>> &allImages()
{
    static const std::vector<std::pair<std::string, bool>> images = {
        {"sample", false},   {"unframed", false}, {"folded", false},  {"sampledll", true},
        {"highbase", false}, {"nopenter", false}, {"classes", false}, {"classes2", false}};
    return images;
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

} // namespace

TEST(TestImageMap, EverySymbolLineHasTheLinkerLayout)
{
    for (const auto &[name, dll] : allImages()) {
        SCOPED_TRACE(name);
        const Loaded l = load(testImage(name, dll));
        EXPECT_TRUE(l.map.crlfOnly);
        EXPECT_TRUE(l.map.layoutErrors.empty())
            << (l.map.layoutErrors.empty() ? "" : l.map.layoutErrors.front());
        EXPECT_FALSE(ownFunctions(l.map).empty());
        for (const MapSymbol &s : l.map.symbols) {
            if (s.section == 0)
                continue; // linker-defined
            // The section:offset field and the Rva+Base column must name the same place.
            ASSERT_GE(s.section, 1u) << s.line;
            ASSERT_LE(s.section, l.pe.sections().size()) << s.line;
            const PeSection &sec = l.pe.sections()[s.section - 1];
            EXPECT_EQ(s.address, l.pe.imageBase() + sec.virtualAddress + s.offset) << s.line;
        }
    }
}

TEST(TestImageMap, ImageBaseLineStatesThePeImageBase)
{
    for (const auto &[name, dll] : allImages()) {
        SCOPED_TRACE(name);
        const Loaded l = load(testImage(name, dll));
        ASSERT_TRUE(l.map.imageBase.has_value());
        EXPECT_EQ(*l.map.imageBase, l.pe.imageBase());
        const std::string &line = l.map.lines[l.map.imageBaseLine];
        EXPECT_EQ(line.substr(21, 13), "___ImageBase ");
        // It comes before every function line, so no function is read with a base of 0.
        for (const MapSymbol *f : ownFunctions(l.map))
            EXPECT_LT(l.map.imageBaseLine, f->lineIndex) << f->line;
    }
}

TEST(TestImageMap, SampleListsItsFunctionsWithLongNamesPushingTheAddress)
{
    const Loaded l = load(testImage("sample"));
    std::set<std::string> names;
    size_t longNames = 0;
    for (const MapSymbol *f : ownFunctions(l.map)) {
        names.insert(f->name);
        if (f->name.size() >= 27) {
            ++longNames;
            EXPECT_EQ(f->line.substr(21 + f->name.size(), 1), " ") << f->line;
            EXPECT_NE(f->line[21 + f->name.size() + 1], ' ') << f->line;
        }
    }
    EXPECT_GT(longNames, 0u);
    for (const char *expected :
         {"_main", "??0Named@Geometry@@QAE@XZ", "??1Shape@Geometry@@UAE@XZ",
          "?created@Shape@Geometry@@SAHXZ", "?area@Rectangle@Geometry@@UBEHXZ",
          "??_GSquare@Geometry@@UAEPAXI@Z", "?push@?$Stack@H$07@Geometry@@QAE_NABH@Z",
          "_clampValue", "?rotate@@YAHH@Z"})
        EXPECT_EQ(names.count(expected), 1u) << expected;
    // Internal-linkage functions are listed among the static symbols, flagged all the same.
    const auto staticHeader = std::find(l.map.lines.begin(), l.map.lines.end(), " Static symbols");
    ASSERT_NE(staticHeader, l.map.lines.end());
    const auto rotate = l.map.named("?rotate@@YAHH@Z");
    ASSERT_EQ(rotate.size(), 1u);
    EXPECT_NE(std::find(staticHeader, l.map.lines.end(), rotate[0]->line), l.map.lines.end());
}

TEST(TestImageHooks, OwnFunctionsStartWithHookAndMsvcFrame)
{
    for (const auto &[name, dll] : allImages()) {
        if (name == "nopenter" || name == "unframed")
            continue;
        SCOPED_TRACE(name);
        const Loaded l = load(testImage(name, dll));
        const auto hook = penterRva(l);
        ASSERT_TRUE(hook.has_value());
        for (const MapSymbol *f : ownFunctions(l.map))
            EXPECT_EQ(entryOf(l, *f, hook), Entry::FramedHook) << f->line;
    }
}

TEST(TestImageHooks, RunTimeStubsAreNotHooked)
{
    const Loaded l = load(testImage("sample"));
    const auto hook = penterRva(l);
    ASSERT_TRUE(hook.has_value());
    size_t stubs = 0;
    for (const MapSymbol &s : l.map.symbols) {
        if (!s.function || s.object != kStubObject)
            continue;
        ++stubs;
        EXPECT_EQ(entryOf(l, s, hook), Entry::NoHook) << s.line;
    }
    EXPECT_GE(stubs, 3u); // __penter, the entry point, operator new at least
    const auto penter = l.pe.bytesAt(*hook, 1);
    ASSERT_TRUE(penter.has_value());
    EXPECT_EQ((*penter)[0], 0xC3); // returns at once, registers untouched
}

TEST(TestImageHooks, UnframedFunctionsKeepClangsFrameEncoding)
{
    const Loaded l = load(testImage("unframed"));
    const auto hook = penterRva(l);
    ASSERT_TRUE(hook.has_value());
    const std::set<std::string> unframed = {"_unframedAdd", "?bump@Counter@Calc@@QAEHXZ"};
    size_t seenUnframed = 0, seenFramed = 0;
    for (const MapSymbol *f : ownFunctions(l.map)) {
        if (unframed.count(f->name)) {
            ++seenUnframed;
            EXPECT_EQ(entryOf(l, *f, hook), Entry::UnframedHook) << f->line;
            const auto b = l.pe.bytesAt(rvaOf(l, *f), 8);
            ASSERT_TRUE(b.has_value());
            EXPECT_EQ((*b)[6], 0x89); // mov ebp, esp as 89 E5
            EXPECT_EQ((*b)[7], 0xE5);
        } else {
            ++seenFramed;
            EXPECT_EQ(entryOf(l, *f, hook), Entry::FramedHook) << f->line;
        }
    }
    EXPECT_EQ(seenUnframed, unframed.size());
    EXPECT_GE(seenFramed, 3u);
}

TEST(TestImageHooks, NoPenterImageHasNoHookAnywhere)
{
    const Loaded l = load(testImage("nopenter"));
    EXPECT_TRUE(l.map.named("__penter").empty());
    const auto own = ownFunctions(l.map);
    ASSERT_GE(own.size(), 4u);
    for (const MapSymbol *f : own) {
        const auto b = l.pe.bytesAt(rvaOf(l, *f), 3);
        ASSERT_TRUE(b.has_value()) << f->line;
        EXPECT_EQ(*b, (std::vector<uint8_t>{0x55, 0x8B, 0xEC})) << f->line;
    }
}

TEST(TestImageLinking, FoldedFunctionsShareOneAddress)
{
    const Loaded l = load(testImage("folded"));
    std::map<std::string, uint32_t> address;
    for (const MapSymbol *f : ownFunctions(l.map))
        address[f->name] = f->address;
    ASSERT_EQ(address.count("?addSeven@@YAHH@Z"), 1u);
    ASSERT_EQ(address.count("?plusSeven@@YAHH@Z"), 1u);
    ASSERT_EQ(address.count("_sevenMore"), 1u);
    ASSERT_EQ(address.count("?timesThree@@YAHH@Z"), 1u);
    EXPECT_EQ(address["?addSeven@@YAHH@Z"], address["?plusSeven@@YAHH@Z"]);
    EXPECT_EQ(address["?addSeven@@YAHH@Z"], address["_sevenMore"]);
    EXPECT_NE(address["?addSeven@@YAHH@Z"], address["?timesThree@@YAHH@Z"]);
    EXPECT_NE(address["?addSeven@@YAHH@Z"], address["_main"]);
}

TEST(TestImageLinking, DllAndHighBaseImagesHaveTheirBases)
{
    const Loaded dll = load(testImage("sampledll", true));
    EXPECT_TRUE(dll.pe.isDll());
    EXPECT_EQ(dll.pe.imageBase(), 0x10000000u);
    EXPECT_EQ(dll.map.lines[dll.map.imageBaseLine].substr(48, 8), "10000000");
    EXPECT_EQ(dll.map.named("_sampleArea").size(), 1u);

    const Loaded high = load(testImage("highbase"));
    EXPECT_FALSE(high.pe.isDll());
    EXPECT_EQ(high.pe.imageBase(), 0x80000000u);
    for (const MapSymbol *f : ownFunctions(high.map))
        EXPECT_GE(f->address, 0x80001000u) << f->line;

    const Loaded plain = load(testImage("sample"));
    EXPECT_FALSE(plain.pe.isDll());
    EXPECT_EQ(plain.pe.imageBase(), 0x400000u);
}

TEST(TestImagePdb, GuidAndAgeMatchTheImagesCodeViewRecord)
{
    const std::regex guidRe(R"(GUID: (\{[0-9A-F-]+\}))"), ageRe(R"(Age: (\d+))");
    for (const auto &[name, dll] : allImages()) {
        SCOPED_TRACE(name);
        const ImageFiles files = testImage(name, dll);
        const Loaded l = load(files);
        const auto cv = l.pe.codeView();
        ASSERT_TRUE(cv.has_value());
        EXPECT_EQ(fs::path(cv->pdbPath).filename(), name + ".pdb");
        EXPECT_TRUE(fs::equivalent(cv->pdbPath, files.pdb));
        int status = 0;
        const std::string summary =
            run(shellQuote(TQT_PDBUTIL) + " dump --summary " + shellQuote(files.pdb), &status);
        ASSERT_EQ(status, 0) << summary;
        std::smatch guid, age;
        ASSERT_TRUE(std::regex_search(summary, guid, guidRe)) << summary;
        ASSERT_TRUE(std::regex_search(summary, age, ageRe)) << summary;
        EXPECT_EQ(guid[1].str(), cv->guid);
        EXPECT_EQ(std::stoul(age[1].str()), cv->age);
    }
}

TEST(TestImagePdb, PenterIsAPublicFunctionOnlyWhereHooked)
{
    int status = 0;
    const std::string withHook =
        run(shellQuote(TQT_PDBUTIL) + " dump --publics " + shellQuote(testImage("sample").pdb),
            &status);
    ASSERT_EQ(status, 0) << withHook;
    const std::regex penterRe("S_PUB32 \\[size = \\d+\\] `__penter`\\s+flags = function");
    EXPECT_TRUE(std::regex_search(withHook, penterRe)) << withHook;

    const std::string without =
        run(shellQuote(TQT_PDBUTIL) + " dump --publics " + shellQuote(testImage("nopenter").pdb),
            &status);
    ASSERT_EQ(status, 0) << without;
    EXPECT_NE(without.find("`_main`"), std::string::npos);
    EXPECT_EQ(without.find("__penter"), std::string::npos);
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
    writeText(src, "int main() { return 0; }\n");
    const std::string out = " --out " + shellQuote(dir.path() + "/out") + " ";
    int status = 0;
    std::string text = run(builderCommand("build_image.py") + " --name prog" + out +
                               "--unframed _nosuchfunction " + shellQuote(src),
                           &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(text.find("_nosuchfunction"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(dir.path() + "/out/prog.exe"));

    text = run(builderCommand("build_image.py") + " --name prog" + out + "--base 12345 " +
                   shellQuote(src),
               &status);
    EXPECT_NE(status, 0) << text; // not 64 KiB aligned

    writeText(src, "int main() { return undeclared; }\n");
    text = run(builderCommand("build_image.py") + " --name prog" + out + shellQuote(src), &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(text.find("undeclared"), std::string::npos) << text;
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
