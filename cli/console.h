// The command line's own lines for people, on standard error, and the steps
// every command shares: loading an image, finding the chosen bridges.
#pragma once

#include <string>
#include <vector>

#include "cli/devices.h"
#include "image/file_port.h"
#include "image/image_buffer.h"

namespace zq::cli {

// Says what failed and makes it the command's final text; EXIT_FAILED.
int Failed(const std::string& text);
void Warn(const std::string& text);
std::string Quoted(const std::string& path);
// A line with the program's name, outside text escaped.
void Say(const std::string& text);

// Every command says which device it acts on.
void SayDevice(const FoundBridge& bridge);
// Why no bridge could be had, beside the final text, never in its place.
void SayWhyNone(Devices& devices);

// Where an output the user named goes: "-" for standard output under any
// of its names. False with the exit status when it must not be written:
// a folder, an existing file without --force, standard output shared with
// the JSON object.
bool SettleOutput(std::string& path, bool force, bool json, int& status);

// Loads the image as the window's Load File... does, with its texts.
bool LoadImage(FilePort& files, const std::string& path, ImageBuffer& image);

// The devices the options ask for; false with the exit status when they
// cannot be had.
bool OpenDevices(const DeviceOptions& options, Devices& devices, int& status);

// The bridges found and kept by name; false with the exit status when the
// devices cannot be had or a name matches no bridge.
bool FindChosen(const DeviceOptions& options, Devices& devices, std::vector<FoundBridge>& found,
                int& status);

// Without a name, one bridge is used, never a guess between several.
bool OnlyOne(const std::vector<FoundBridge>& found);

}  // namespace zq::cli
