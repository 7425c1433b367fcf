#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brindell {

// What a sync client sharing a folder means by an entry it left there.
enum class ClientFileKind {
  none,          // not a name of any client's conventions
  metadata,      // the client's own marker, journal or log, or a desktop's litter
  inTransit,     // stands for an item whose download has not completed
  conflictCopy,  // the client's copy of an item it found changed on two sides
};

struct ClientFile {
  ClientFileKind kind = ClientFileKind::none;
  // For an item in transit or a conflict copy: the name of the item it stands
  // for. Where a convention puts a device name of unknown length into the
  // name, every way of reading it, the longest item first.
  std::vector<std::string> items;
};

// The meaning of an entry name by the conventions of the sync clients Linux
// users keep a sync folder in (Syncthing, Nextcloud and ownCloud, Dropbox, the
// OneDrive client for Linux) and of the desktops whose litter those clients
// carry from peer to peer. The names the helper gives items itself
// ("manifest.json", history files, ".DS_Store", "." + name + ".icloud") are
// never any client's. Looks at the name only.
ClientFile clientFileOf(std::string_view name);

}  // namespace brindell
