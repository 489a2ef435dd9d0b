// Helpers for the data-source tests: the built test images, a session over one of them, BSTR
// conversion, and what llvm-pdbutil says about the same PDB, to compare against.
#pragma once

#include "DiaInterfaces.h"

#include <string>
#include <vector>

namespace dstest {

using TQ::PLATFORM::BStr;
using TQ::PLATFORM::ComPtr;

std::string imagePath(const std::string &relative);
std::u16string wide(const std::string &text);
std::string narrow(BSTR text);

struct Dia
{
    ComPtr<IDiaDataSource> source;
    ComPtr<IDiaSession> session;
    ComPtr<IDiaSymbol> global;
};

ComPtr<IDiaDataSource> newDataSource();
HRESULT loadImage(const std::string &path); // a fresh data source's loadDataForExe
bool openImage(const std::string &path, Dia &dia);

std::vector<ComPtr<IDiaSymbol>> drain(IDiaEnumSymbols *symbols);
std::vector<ComPtr<IDiaSymbol>> children(IDiaSymbol *parent, SymTagEnum tag, const char *name,
                                         DWORD flags);
std::string nameOf(IDiaSymbol *symbol);
DWORD tagOf(IDiaSymbol *symbol);
DWORD idOf(IDiaSymbol *symbol);
DWORD rvaOf(IDiaSymbol *symbol);
ULONGLONG lengthOf(IDiaSymbol *symbol);

// A temporary folder, removed with everything in it.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string path(const std::string &name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string readFile(const std::string &path);
// The standard output of a shell command line, and its status as pclose gives it.
std::string commandOutput(const std::string &commandLine, int *status);
// A copy of a test-image builder's image cleaned by the built tool, then resolved by it: the
// database's entries, a line each, in address order.
std::string cleanAndResolve(const std::string &image);
void writeFile(const std::string &path, const std::string &bytes);
void copyFile(const std::string &from, const std::string &to);

struct ToolPublic
{
    std::string name;
    DWORD rva;
};
struct ToolLine
{
    DWORD rva;
    DWORD line;
    std::string file;
};
// Publics and line entries as llvm-pdbutil prints them, section:offset turned into RVAs.
std::vector<ToolPublic> toolPublics(const std::string &pdb);
std::vector<ToolLine> toolLines(const std::string &pdb);
bool haveTool();

} // namespace dstest
