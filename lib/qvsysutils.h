// Small helpers the components share: the operating-system and file version
// texts, the list of serial port names, buffer walkers and the lookup of
// resources built into the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/qvosinfo.h"
#include "platform/qvsysfs.h"
#include "qvapi.h"

QV_API_BEGIN

// One entry of a string list with its object value (for ports: the number).
struct TqvStringItem {
  std::u16string Text;
  int32_t Object = 0;
  bool operator==(const TqvStringItem&) const = default;
};
using TqvStringItems = std::vector<TqvStringItem>;

// Without a file name: the operating-system text, "Linux " + distribution name
// + " [" + the kernel's three version numbers + "] " + the machine type, e.g.
// "Linux Debian GNU/Linux 12 (bookworm) [6.1.0] x86_64".
// With a file name: the file version formatted with `format` (default
// "%u.%u.%u.%u") from its four parts. Only the running program carries a
// version (the project version built in); any other file gives empty.
std::u16string GetVersionString(std::u16string_view fileName = {}, std::u16string_view format = {});

// The operating-system text from given facts (what GetVersionString uses).
std::u16string FormatOsVersion(const qv::platform::TqvOsInfo& info);

// The version built into the library, "major.minor.patch".
std::u16string LibraryVersion();

// The serial ports the system knows (every tty with a hardware device behind
// it that has a number in the port-number table; on-board UART slots where no
// UART answered are left out), as "COMn" or, with values, "COMn=" + device
// node, each with its port number as object value, ascending and unique.
void GetComPortList(TqvStringItems& list, bool withValues,
                    const qv::platform::TqvDeviceRoots& roots = {});

// Inserts `entry` in number order: nothing when the same text is listed or the
// number is already taken.
void AddPortSorted(std::u16string_view entry, int32_t number, TqvStringItems& list);

// A list of NUL-terminated strings ended by an extra NUL, joined with
// `separator`; `buffer` holds exactly the characters to walk (its size is the
// length). Safe for any size, 0 included.
std::u16string MultiSzToString(std::u16string_view buffer, std::u16string_view separator);
// The same over raw bytes holding UTF-16LE characters; an odd last byte is ignored.
std::u16string MultiSzToString(std::span<const std::byte> buffer, std::u16string_view separator);

// "SetupDiGetClassDevsA" -> "SetupDiGetClassDevsW".
std::string WideProcName(std::string_view name);

// The bytes of the built-in resource of that name (letter case ignored), empty
// when there is none.
std::string LoadResourceText(std::u16string_view name);

QV_API_END
