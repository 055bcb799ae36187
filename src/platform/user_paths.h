#pragma once

#include <string>
#include <vector>

// The user's home folder: $HOME when it is an absolute path, else the password
// database's entry; empty when neither tells.
std::string homeDirectory();

// The folder above `path` ("/" for a top-level entry, "." for a bare name).
std::string parentOf(const std::string& path);

// Creates `path` and any missing folders above it, each private to the user; a folder
// another thread or process creates meanwhile is taken as it is. `created`, when given,
// gets the folders this call made, the topmost first.
bool makeDirectories(const std::string& path, std::vector<std::string>* created = nullptr);

// Where the owner library keeps its per-user registry of active sessions: in
// ~/Library/Application Support/dock-restore/sessions on macOS, and in
// ~/.local/state/dock-restore/sessions elsewhere. Empty without a home folder.
std::string sessionRegistryDirectory();

// Where CoreFoundation keeps a user's domains off macOS: $XDG_CONFIG_HOME when it is an
// absolute path longer than one character, else ~/.config. Empty without a home folder.
std::string configDirectory();

// Where CoreFoundation keeps a user's domains: ~/Library/Preferences on macOS,
// configDirectory() elsewhere. Empty without a home folder.
std::string coreFoundationPreferencesDirectory();
