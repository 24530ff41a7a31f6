#pragma once

// Path strings, with the platform's rules for standardising and resolving them.

#include <optional>
#include <string>
#include <string_view>

namespace sonarell::fs {

bool isValidUtf8(std::string_view bytes);

// The current user's home folder: $HOME when set and not empty, otherwise the
// password database's entry for the real user id.
std::string homeDirectory();

// Tilde expanded ("~" and "~/..."), empty and "." components removed, ".."
// components resolved against the components before them, trailing separator
// removed. None when the argument is not valid UTF-8.
std::optional<std::string> standardizePath(std::string_view path);

// Every symbolic link in the path resolved, component by component, and the
// result standardised. Components that do not exist are kept as they are.
std::string resolveSymlinks(const std::string& path);

std::string lastPathComponent(const std::string& path);
std::string deletingLastPathComponent(const std::string& path);
// One separator between the two, none doubled.
std::string appendingPathComponent(const std::string& path, std::string_view component);

}  // namespace sonarell::fs
