#include "trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zemo {

namespace {

// Opens the destination that ZEMO_TRACE names, or returns NULL when it is unset or empty. A
// file is opened for appending, so one trace can follow a script through several programs. A
// file that cannot be opened is reported once on standard error, and the calls go untraced.
std::FILE* openTraceSink() {
    const char* name = std::getenv("ZEMO_TRACE");
    if (name == nullptr || name[0] == '\0')
        return nullptr;
    if (std::strcmp(name, "-") == 0)
        return stderr;
    std::FILE* file = std::fopen(name, "a");
    if (file == nullptr)
        std::fprintf(stderr, "zemo: ZEMO_TRACE: cannot open '%s': %s\n", name,
                     std::strerror(errno));
    return file;
}

std::FILE* traceSink() {
    static std::FILE* const sink = openTraceSink();
    return sink;
}

const char* statusName(zemo_status status) {
    switch (status) {
    case ZEMO_OK:
        return "ZEMO_OK";
    case ZEMO_FAILURE:
        return "ZEMO_FAILURE";
    case ZEMO_TIMEOUT:
        return "ZEMO_TIMEOUT";
    }
    return "ZEMO_STATUS_UNKNOWN";
}

// Appends BYTE to TEXT as it would appear inside a C string literal.
void appendEscaped(std::string& text, unsigned char byte) {
    switch (byte) {
    case '\n':
        text += "\\n";
        return;
    case '\r':
        text += "\\r";
        return;
    case '\t':
        text += "\\t";
        return;
    case '\\':
        text += "\\\\";
        return;
    case '"':
        text += "\\\"";
        return;
    default:
        break;
    }
    if (byte >= 0x20 && byte < 0x7f) {
        text += static_cast<char>(byte);
        return;
    }
    static constexpr char hexDigits[] = "0123456789abcdef";
    text += "\\x";
    text += hexDigits[byte >> 4];
    text += hexDigits[byte & 0xf];
}

// Whether BYTE is a control byte, which a terminal would hide or act on.
bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7f;
}

} // namespace

extern const bool traceRequested = [] {
    const char* name = std::getenv("ZEMO_TRACE");
    return name != nullptr && name[0] != '\0';
}();

void traceCall(const char* call, const std::string& arguments, zemo_status status,
               const std::string& results, const std::string& reason) {
    std::string line = std::string(call) + "(" + arguments + ") = " + statusName(status);
    if (!results.empty())
        line += ", " + results;
    if (!reason.empty())
        line += ": " + visible(reason);
    line += '\n';
    std::FILE* sink = traceSink();
    if (sink == nullptr)
        return;
    std::fwrite(line.data(), 1, line.size(), sink);
    std::fflush(sink);
}

std::string quoted(const char* data, std::uint64_t size) {
    constexpr std::uint64_t shownBytes = 64;
    std::string text = "\"";
    for (std::uint64_t i = 0; i < size && i < shownBytes; ++i)
        appendEscaped(text, static_cast<unsigned char>(data[i]));
    text += '"';
    if (size > shownBytes)
        text += "...";
    return text;
}

std::string visible(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isControl(byte))
            appendEscaped(shown, byte);
        else
            shown += c;
    }
    return shown;
}

} // namespace zemo
