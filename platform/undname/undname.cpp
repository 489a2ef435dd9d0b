// undname.exe: undecorates the names of a name-list file.
//
// Input: one line per function, the decorated name, one blank, the RVA text, LF.
// Output: one line per input line, the undecorated name (or the name unchanged when it is not a
// decorated C++ name), one blank, the RVA text as it stood, CR LF.

#include <llvm/Demangle/Demangle.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t ReadBlock = 1 << 20;

// Output is gathered and written in large blocks: a million names must not cost a million writes.
class BlockWriter
{
public:
    explicit BlockWriter(std::FILE *out) : m_out(out) { m_buffer.reserve(BlockSize + 4096); }
    ~BlockWriter() { flush(); }
    BlockWriter(const BlockWriter &) = delete;
    BlockWriter &operator=(const BlockWriter &) = delete;

    void append(const char *data, size_t size)
    {
        m_buffer.append(data, size);
        if (m_buffer.size() >= BlockSize)
            flush();
    }
    void append(const std::string &text) { append(text.data(), text.size()); }

    bool flush()
    {
        if (!m_buffer.empty()) {
            if (std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_out) != m_buffer.size())
                m_failed = true;
            m_buffer.clear();
        }
        if (std::fflush(m_out) != 0)
            m_failed = true;
        return !m_failed;
    }

private:
    static constexpr size_t BlockSize = 1 << 20;
    std::FILE *m_out;
    std::string m_buffer;
    bool m_failed = false;
};

struct FileCloser
{
    void operator()(std::FILE *f) const
    {
        if (f)
            std::fclose(f);
    }
};

// Opens the name list as given; a Windows caller passes backslashes, so a path that does not
// exist is tried again with them turned into slashes.
std::FILE *openNameList(const std::string &path, std::string *error)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f)
        return f;
    int firstErrno = errno;
    if (firstErrno == ENOENT && path.find('\\') != std::string::npos) {
        std::string slashed = path;
        for (char &c : slashed) {
            if (c == '\\')
                c = '/';
        }
        f = std::fopen(slashed.c_str(), "rb");
        if (f)
            return f;
    }
    *error = std::strerror(firstErrno);
    return nullptr;
}

// Writes the undecorated form of name; a name the demangler does not accept passes unchanged.
void writeUndecorated(const std::string &name, BlockWriter *out)
{
    int status = 0;
    char *demangled = llvm::microsoftDemangle(name.c_str(), nullptr, nullptr, nullptr, &status);
    if (status == llvm::demangle_success && demangled)
        out->append(demangled, std::strlen(demangled));
    else
        out->append(name);
    std::free(demangled);
}

void processLine(const char *begin, const char *end, std::string *name, BlockWriter *out)
{
    // Tolerate CR LF input: the CR is not part of the RVA text.
    if (end > begin && end[-1] == '\r')
        --end;
    const char *blank = end;
    while (blank > begin && blank[-1] != ' ')
        --blank;
    if (blank == begin) {
        // No blank: the whole line is a name without an RVA.
        name->assign(begin, end);
        if (!name->empty())
            writeUndecorated(*name, out);
    } else {
        name->assign(begin, blank - 1);
        writeUndecorated(*name, out);
        out->append(blank - 1, static_cast<size_t>(end - blank + 1));
    }
    out->append("\r\n", 2);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: undname.exe <name-list file>\n");
        return 2;
    }
    std::string error;
    std::unique_ptr<std::FILE, FileCloser> in(openNameList(argv[1], &error));
    if (!in) {
        std::fprintf(stderr, "undname.exe: cannot open %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    // The list is read in blocks and each complete line handled at once, so that memory stays
    // the same for a list of any length; a line cut by a block's end waits in carry.
    BlockWriter out(stdout);
    std::string name;
    std::string carry;
    std::unique_ptr<char[]> block(new char[ReadBlock]);
    size_t n;
    while ((n = std::fread(block.get(), 1, ReadBlock, in.get())) > 0) {
        const char *pos = block.get();
        const char *const end = pos + n;
        while (pos < end) {
            const char *lineEnd = static_cast<const char *>(std::memchr(pos, '\n', end - pos));
            if (!lineEnd) {
                carry.append(pos, end);
                break;
            }
            if (carry.empty()) {
                processLine(pos, lineEnd, &name, &out);
            } else {
                carry.append(pos, lineEnd);
                processLine(carry.data(), carry.data() + carry.size(), &name, &out);
                carry.clear();
            }
            pos = lineEnd + 1;
        }
    }
    if (std::ferror(in.get())) {
        std::fprintf(stderr, "undname.exe: cannot read %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    if (!carry.empty()) // a last line without LF still gets its output line
        processLine(carry.data(), carry.data() + carry.size(), &name, &out);
    if (!out.flush()) {
        std::fprintf(stderr, "undname.exe: cannot write the output: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
