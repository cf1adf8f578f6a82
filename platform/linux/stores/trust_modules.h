// PKCS#11 modules as trust sources. A module on p11-kit's module list, or on an NSS
// database's list (pkcs11.txt), is loaded by the programs that read that list and can hand
// them any root; so each listed module is inventoried as a record of its own, and a
// module added, removed or pointed at another library is a change like a certificate's.
//
// A module's record: the display name "module <name>" (the file stem of a p11-kit
// .module file, the name= of an NSS entry); a subject hash and serial derived from the
// name; as fingerprint the SHA-256 of "pkcs11-module\0<list file>\0<name>", so the
// record stays the same while the module keeps its name and list; and as trust text
// the library it loads ("library <path>", with the programs it is enabled or disabled
// in), so pointing it elsewhere changes the record's trust.
//
// The stores: "trust-modules" (System) holds p11-kit's system modules and those of the
// system NSS database; each of the current user's NSS databases has its own store
// "modules-<database store>" (CurrentUser), such as "modules-nssdb" or
// "modules-firefox-default-release". The prefix keeps them apart from every database
// store's name, which all begin with "nssdb" or "firefox".
#pragma once

#include <string>
#include <vector>

#include "inventory/trace.h"
#include "platform/linux/stores/root_files.h"
#include "platform/linux/stores/store_source.h"

namespace kestrune {

// The folders p11-kit reads its .module files from, as the machine names them.
const std::vector<std::string>& p11KitModuleFolders();

// "trust-modules", then one module store per NSS database of `userDatabases` (the
// current user's database stores, which must outlive the stores returned: each asks its
// database where it is when opened).
StoreSources trustModuleStores(const RootDir& root, const StoreSources& userDatabases, Trace& trace,
                               const FileCalls& calls = systemFileCalls());

}  // namespace kestrune
