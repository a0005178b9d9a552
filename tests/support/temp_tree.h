// A temporary directory tree for a test, and reading a file whole.
#pragma once

#include <filesystem>
#include <string>

namespace kittest {

// A fresh directory under the system's temporary directory, named by its physical path and
// removed with everything in it when the object goes.
class TempTree {
  public:
    TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    ~TempTree();

    // The physical path of the tree's root.
    const std::filesystem::path& root() const { return root_; }

    // Creates the directory RELATIVE and its parents inside the tree and returns its path.
    std::filesystem::path makeDirectory(const std::string& relative) const;
    // Creates the regular file RELATIVE inside the tree, holding TEXT, and returns its path.
    std::filesystem::path makeFile(const std::string& relative, const std::string& text = {}) const;
    // Creates the symbolic link RELATIVE inside the tree, pointing at TARGET.
    void makeLink(const std::string& relative, const std::filesystem::path& target) const;

  private:
    std::filesystem::path root_;
};

// The whole content of the file at PATH; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

} // namespace kittest
