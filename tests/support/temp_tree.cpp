#include "temp_tree.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kittest {

TempTree::TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kittest.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    root_ = std::filesystem::canonical(pattern);
}

TempTree::~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::filesystem::path TempTree::makeDirectory(const std::string& relative) const {
    const auto path = root_ / relative;
    std::filesystem::create_directories(path);
    return path;
}

std::filesystem::path TempTree::makeFile(const std::string& relative,
                                         const std::string& text) const {
    const auto path = root_ / relative;
    std::ofstream file(path, std::ios::binary);
    if (!(file << text) || !file.flush())
        throw std::runtime_error("cannot write " + path.string());
    return path;
}

void TempTree::makeLink(const std::string& relative, const std::filesystem::path& target) const {
    std::filesystem::create_symlink(target, root_ / relative);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::string text;
    char chunk[65536];
    while (stream.read(chunk, sizeof chunk) || stream.gcount() > 0)
        text.append(chunk, static_cast<std::size_t>(stream.gcount()));
    return text;
}

} // namespace kittest
