// Owning handle of a C stream: fclose when it goes. Any thread.
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
