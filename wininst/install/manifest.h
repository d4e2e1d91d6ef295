// The manifest parser: turns the manifest (of the archive or of an installed
// copy) into installer variables and the run-wide lists of records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wininst/install/manifest_rules.h"

struct Vec;

struct FileEntry {
  std::string name;
  uint32_t size = 0;
};

struct Folder {
  std::string name;  // relative to InstDir, backslashes, no trailing backslash
  Vec* files;        // FileEntry*
};

struct Installer {
  std::string source;  // a path, a variable name or a URL
  Vec* alternates;     // char*
  std::string arguments;
  std::string digest;  // SHA-256 in hexadecimal; empty: not checked
};

struct Feature {
  std::string name;
  std::string description;
  std::string error_text;  // wrapped at 60 characters
  bool selected = false;
  bool available = false;
  bool present = false;
  bool outdated = false;
  std::string registry_key;
  std::string class_key;
  std::string max_version;
  std::string min_version;
  std::string uninstall_command;
  Vec* folders;             // Folder*
  Vec* installers;          // Installer*
  Vec* prerequisites;       // Feature*, resolved when the section ends
  Vec* prerequisite_names;  // char*, as written
  std::string driver_inf;
  std::string driver_device;
  uint32_t installer_size = 0;
};

struct Component {
  std::string name;
  std::string description;
  bool selected = true;
  bool required = false;
  bool available = false;
  bool needs_java = false;
  Vec* features;    // Feature*
  Vec* alternates;  // char* component names
};

struct Shortcut {
  std::string name;  // the link file's name without ".lnk"
  std::string target;
  std::string arguments;  // empty: none
  std::string icon;       // name of the variable holding the icon file; empty: none
};

struct RegistryEntry {
  int root = 0;
  std::string root_word;  // as the manifest wrote it
  std::string key;
  std::string value_name;
  bool is_string = false;
  std::string text;
  uint32_t dword = 0;
};

// The manifest's record: the five lists its sections build, owned by it for
// the rest of the run. Each is null until its section (or, for shortcuts and
// registry entries, its first entry) creates it.
Vec* FeatureList();        // Feature*; a second [Features] section makes a new one
Vec* ComponentList();      // Component*; likewise
Vec* Shortcuts();          // Shortcut*
Vec* RegistryEntries();    // RegistryEntry*
Vec* ManifestVariables();  // char*: names set by [Variables], in order
// The names of the manifest's components, those left out with --no-
// included.
const std::vector<std::string>& ComponentNames();
// The paths of an installed manifest's [Folders] and [Files] lines, as
// written; the installation's record takes them over (installed.h).
const std::vector<std::string>& ListedFolders();
const std::vector<std::string>& ListedFiles();

// Checks the manifest's signature line against the program's and parses the
// rest (ParseManifest). Takes the text over; every failure is fatal. It only
// parses: the run extracts the resources and evaluates the features after it.
void ReadManifest(char* text);
// Parses the manifest after its signature line, up to [Run]: sets the
// variables (and settles the folders when [Variables] ends), records the
// resources with their temporary paths, and builds the lists.
void ParseManifest(manifest::TextLines& lines);
// Walks the manifest's lines after its signature line with the shared rules,
// reading them through NextManifestLine; false after a format error.
bool WalkManifest(manifest::TextLines& text, manifest::Sink& sink);
// The next significant line, "%InstDir%" expanded; null at the end.
char* NextManifestLine();
void PushBackLine(const char* line);

// "%InstDir%" (any case) replaced by the value of InstDir; a new text.
char* ExpandInstDir(const char* text);
// Every occurrence of InstDir's value replaced by "%InstDir%"; a new text.
char* CollapseInstDir(const char* text);

Feature* FindFeature(const char* name);
Component* FindComponent(const char* name);
// A shortcut from a manifest value: target[>arguments][,icon].
void AddShortcut(const char* name, const char* value);
// A shortcut from its parts, taken as they are (empty: none).
void AddShortcutRecord(const char* name, const char* target, const char* arguments,
                       const char* icon);
bool IsComponentAllowed(const char* name);
