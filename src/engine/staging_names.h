// The names of the files and folders that the updater keeps in the program folder for itself.
// A change list may name none of them (updater.ini excepted: vendors move servers).
#pragma once

namespace halyard::staging_names {

/// The staging folder, and the scratch folder inside it where archives are unpacked.
inline constexpr const char* kTemp = "Temp";
inline constexpr const char* kScratch = "Unzipped";
/// Held by the one update run of a program folder; outside the staging folder so that removing
/// that folder leaves the lock in force.
inline constexpr const char* kLock = "Temp.lock";
/// The downloaded lists.
inline constexpr const char* kFileListCopy = "TempFileChanges.txt";
inline constexpr const char* kRegistryList = "Registry.txt";
/// The downloaded manifest of a signed update set and its signature.
inline constexpr const char* kManifestCopy = "TempManifest.txt";
inline constexpr const char* kSignatureCopy = "TempManifest.sig";
/// The highest manifest serial accepted for this program folder.
inline constexpr const char* kAcceptedSerial = "Halyard.serial";
/// Reserved for the record of an installation in progress, which the next run finishes.
inline constexpr const char* kJournal = "Halyard.journal";

}  // namespace halyard::staging_names
