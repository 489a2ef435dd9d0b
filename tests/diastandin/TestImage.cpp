#include "TestImage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace dstest {

std::string imagePath(const std::string &relative)
{
    return std::string(DS_IMAGES_DIR) + "/" + relative;
}

std::u16string wide(const std::string &text)
{
    std::u16string out;
    for (unsigned char c : text)
        out.push_back(char16_t(c));
    return out;
}

std::string narrow(BSTR text)
{
    std::string out;
    if (!text)
        return out;
    for (const OLECHAR *p = text; *p; ++p)
        out.push_back(*p < 0x80 ? char(*p) : '?');
    return out;
}

ComPtr<IDiaDataSource> newDataSource()
{
    CoInitialize(nullptr);
    ComPtr<IClassFactory> factory;
    ComPtr<IDiaDataSource> source;
    if (CoGetClassObject(CLSID_DiaSource, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                         reinterpret_cast<void **>(factory.receive())) != S_OK)
        return source;
    factory->CreateInstance(nullptr, IID_IDiaDataSource,
                            reinterpret_cast<void **>(source.receive()));
    return source;
}

HRESULT loadImage(const std::string &path)
{
    ComPtr<IDiaDataSource> source = newDataSource();
    if (!source)
        return E_FAIL;
    return source->loadDataForExe(wide(path).c_str(), nullptr, nullptr);
}

bool openImage(const std::string &path, Dia &dia)
{
    dia.source = newDataSource();
    return dia.source && dia.source->loadDataForExe(wide(path).c_str(), nullptr, nullptr) == S_OK &&
           dia.source->openSession(dia.session.receive()) == S_OK &&
           dia.session->get_globalScope(dia.global.receive()) == S_OK;
}

std::vector<ComPtr<IDiaSymbol>> drain(IDiaEnumSymbols *symbols)
{
    std::vector<ComPtr<IDiaSymbol>> out;
    IDiaSymbol *item = nullptr;
    ULONG fetched = 0;
    while (symbols && symbols->Next(1, &item, &fetched) == S_OK && fetched == 1)
        out.emplace_back(item);
    return out;
}

std::vector<ComPtr<IDiaSymbol>> children(IDiaSymbol *parent, SymTagEnum tag, const char *name,
                                         DWORD flags)
{
    ComPtr<IDiaEnumSymbols> found;
    const std::u16string pattern = name ? wide(name) : std::u16string();
    if (parent->findChildren(tag, name ? pattern.c_str() : nullptr, flags, found.receive()) != S_OK)
        return {};
    return drain(found.get());
}

std::string nameOf(IDiaSymbol *symbol)
{
    BStr name;
    if (symbol->get_name(name.receive()) != S_OK)
        return "<none>";
    return narrow(name.get());
}

DWORD tagOf(IDiaSymbol *symbol)
{
    DWORD tag = 0xFFFFFFFF;
    symbol->get_symTag(&tag);
    return tag;
}

DWORD idOf(IDiaSymbol *symbol)
{
    DWORD id = 0;
    symbol->get_symIndexId(&id);
    return id;
}

DWORD rvaOf(IDiaSymbol *symbol)
{
    DWORD rva = 0xFFFFFFFF;
    symbol->get_relativeVirtualAddress(&rva);
    return rva;
}

ULONGLONG lengthOf(IDiaSymbol *symbol)
{
    ULONGLONG length = ~0ull;
    symbol->get_length(&length);
    return length;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/diastandin-XXXXXX";
    const char *made = mkdtemp(pattern);
    m_path = made ? made : "/tmp";
}

TempDir::~TempDir()
{
    if (m_path != "/tmp")
        std::system(("rm -rf '" + m_path + "'").c_str());
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void copyFile(const std::string &from, const std::string &to)
{
    writeFile(to, readFile(from));
}

std::string commandOutput(const std::string &commandLine, int *status)
{
    std::string out;
    FILE *pipe = popen(commandLine.c_str(), "r");
    if (!pipe) {
        *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    *status = pclose(pipe);
    return out;
}

namespace {

std::string quoted(const std::string &text)
{
    return "'" + text + "'";
}

std::string runTool(const std::string &arguments)
{
    int status = 0;
    return commandOutput(std::string(DS_PDBUTIL) + " " + arguments + " 2>/dev/null", &status);
}

std::vector<DWORD> toolSections(const std::string &pdb)
{
    std::vector<DWORD> rvas;
    std::istringstream in(runTool("dump -section-headers '" + pdb + "'"));
    const std::regex va("^\\s*([0-9A-Fa-f]+) virtual address");
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, va))
            rvas.push_back(DWORD(std::stoul(m[1], nullptr, 16)));
    return rvas;
}

} // namespace

std::string cleanAndResolve(const std::string &image)
{
    TempDir dir;
    const std::string exe = dir.path(image + ".exe"), db = dir.path("project.db");
    for (const char *ext : {".exe", ".pdb", ".map"})
        copyFile(std::string(TQT_TEST_IMAGES_DIR) + "/" + image + "/" + image + ext,
                 dir.path(image + ext));
    // Its own settings folders; no detached resolve run, which comes next.
    std::string tool = "cd " + quoted(dir.path("")) + " &&";
    for (const char *variable : {"HOME", "XDG_CONFIG_HOME", "APPDATA", "TQ_TRACING"})
        tool += std::string(" ") + variable + "=" + quoted(dir.path(""));
    tool +=
        " TQ_VELMORA=" + quoted(dir.path("none")) + " " + quoted(TQT_BIN_DIR "/tqt_patchclean.exe");
    const std::string vs = quoted(TQT_VS_COMMON_DIR);
    int status = 0;
    const std::string clean =
        commandOutput(tool + " " + quoted(exe) + " " + quoted(db) + " " + vs + " 2>&1", &status);
    EXPECT_EQ(status, 0) << clean;
    const std::string resolve = commandOutput(tool + " --resolve " + quoted(exe) + " " +
                                                  quoted(dir.path(image + "_tq.map")) + " " +
                                                  quoted(db) + " " + vs + " 2>&1",
                                              &status);
    EXPECT_EQ(status, 0) << resolve;
    return commandOutput("sqlite3 " + quoted(db) +
                             " 'SELECT address, name, source_file, old_bytes FROM functions "
                             "ORDER BY address'",
                         &status);
}

bool haveTool()
{
    return std::string(DS_PDBUTIL).find("NOTFOUND") == std::string::npos &&
           access(DS_PDBUTIL, X_OK) == 0;
}

std::vector<ToolPublic> toolPublics(const std::string &pdb)
{
    const std::vector<DWORD> sections = toolSections(pdb);
    std::vector<ToolPublic> out;
    std::istringstream in(runTool("dump -publics '" + pdb + "'"));
    const std::regex name("S_PUB32 \\[size = \\d+\\] `(.*)`");
    const std::regex addr("addr = (\\d+):(\\d+)");
    std::string line, pending;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, name)) {
            pending = m[1];
        } else if (!pending.empty() && std::regex_search(line, m, addr)) {
            const unsigned section = unsigned(std::stoul(m[1]));
            if (section >= 1 && section <= sections.size())
                out.push_back({pending, DWORD(sections[section - 1] + std::stoul(m[2]))});
            pending.clear();
        }
    }
    return out;
}

std::vector<ToolLine> toolLines(const std::string &pdb)
{
    const std::vector<DWORD> sections = toolSections(pdb);
    std::vector<ToolLine> out;
    std::istringstream in(runTool("dump -l '" + pdb + "'"));
    const std::regex file("^(/\\S+) \\(MD5");
    const std::regex block("^\\s*([0-9A-Fa-f]{4}):[0-9A-Fa-f]{8}-[0-9A-Fa-f]{8}, line/addr");
    const std::regex entry("(\\d+) ([0-9A-Fa-f]{8}) !");
    std::string line, current;
    DWORD sectionRva = 0;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, file)) {
            current = m[1];
        } else if (std::regex_search(line, m, block)) {
            const unsigned section = unsigned(std::stoul(m[1], nullptr, 16));
            sectionRva = section >= 1 && section <= sections.size() ? sections[section - 1] : 0;
        } else {
            for (auto it = std::sregex_iterator(line.begin(), line.end(), entry);
                 it != std::sregex_iterator(); ++it)
                out.push_back({DWORD(sectionRva + std::stoul((*it)[2], nullptr, 16)),
                               DWORD(std::stoul((*it)[1])), current});
        }
    }
    return out;
}

} // namespace dstest
