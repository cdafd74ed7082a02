// Dolphin's saved choice of preview plugins. While [PreviewSettings] Plugins is unset Dolphin asks every
// plugin that is on by default, tarnel's among them; once a user has pressed OK in its preview settings, the
// saved list is all it asks, and a plugin installed later is never used. `tarnel install --user` adds
// tarnel's plugin to such a list, and `uninstall --user` takes it out, keeping every other choice and line as
// it was.
#pragma once

#include <string>

inline constexpr char kDolphinPluginName[] = "tarnelthumbnail";

// The settings file of the user's: $XDG_CONFIG_HOME/dolphinrc, else ~/.config/dolphinrc; empty without both.
std::string DolphinSettingsPath();

// The text with the plugin added to (or removed from) the saved list; the same text where there is no saved
// list, or where the list already says so. Only [PreviewSettings]'s Plugins line changes.
std::string WithDolphinPlugin(const std::string& settings, bool enable);

// Changes the file at path so (written whole, its mode kept). A file that is missing or needs no change is
// left alone; a link is not written through (error says what the user can do instead). Returns what it did
// in a line for the user ("" for nothing), or sets error.
std::string ChangeDolphinSettings(const std::string& path, bool enable, std::string& error);
