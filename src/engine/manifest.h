// The signed manifest of an update set: the SHA-256 and size of everything the updater fetches
// from the update root (both lists and every file as served), a serial that grows with every
// publish, and an Ed25519 signature over the manifest's exact bytes.
//
// "Manifest.txt", lines ending in LF:
//   Halyard-Manifest: 1
//   Serial: 17
//   <64 lower-case hex digits of SHA-256> <size in bytes> <path under the update root>
//   ...
// "Manifest.sig": the 64-byte Ed25519 signature of those bytes in base64, then LF.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/copy_inet_file.h"

namespace halyard {

inline constexpr const char* kManifestName = "Manifest.txt";
inline constexpr const char* kSignatureName = "Manifest.sig";

struct ManifestEntry {
  std::string sha256;  // 64 lower-case hex digits
  std::uint64_t size = 0;
};

struct Manifest {
  std::uint64_t serial = 0;
  /// Keyed by the path under the update root, "/" between folders.
  std::map<std::string, ManifestEntry> entries;

  /// The entry of a path as the change list writes it ("\" counts as "/"), or nullptr.
  const ManifestEntry* Find(std::string_view path) const;
  /// The exact bytes of "Manifest.txt" for this manifest, entries in path order.
  std::string Text() const;
};

/// Reads the bytes of "Manifest.txt". Throws AppError 5 naming the line that is not in the
/// format above (a missing or unknown header, a serial that is not a positive number, a hash
/// that is not 64 lower-case hex digits, a path given twice, a line without its LF).
Manifest ParseManifest(std::string_view text);

using PublicKey = std::array<unsigned char, 32>;
using SecretKey = std::array<unsigned char, 32>;  // the seed of the key pair

/// One base64 public key, or two separated by ",", blanks around each ignored. Throws AppError
/// 5 naming the key that is not the base64 of 32 bytes.
std::vector<PublicKey> ParsePublicKeys(std::string_view text);

/// Which of keys made signature_text (the contents of "Manifest.sig") over text: its index,
/// or std::nullopt when none did or the signature is not base64 of 64 bytes.
std::optional<std::size_t> FindSigningKey(std::string_view text, std::string_view signature_text,
                                          const std::vector<PublicKey>& keys);

/// A new random secret key.
SecretKey GenerateSecretKey();
PublicKey PublicKeyOf(const SecretKey& secret);
/// The contents of "Manifest.sig" for text.
std::string SignText(std::string_view text, const SecretKey& secret);

std::string EncodeBase64(const unsigned char* bytes, std::size_t size);
/// The bytes of base64 text (blanks and line ends around it ignored), or std::nullopt when it
/// is not base64.
std::optional<std::vector<unsigned char>> DecodeBase64(std::string_view text);

/// SHA-256 of bytes as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view bytes);
/// The hash and size of the file at path, read in pieces. Throws AppError naming the file when
/// it cannot be read.
ManifestEntry DescribeFile(const std::string& path);

class Sha256;

/// The hash and size of a file taken as a transfer stores it, so that a downloaded file is
/// checked without being read again.
class StoredFileHash : public StoredBytesObserver {
 public:
  StoredFileHash();
  ~StoredFileHash() override;
  StoredFileHash(const StoredFileHash&) = delete;
  StoredFileHash& operator=(const StoredFileHash&) = delete;

  void Restart() override;
  void Add(const char* bytes, std::size_t size) override;
  /// The hash and size of everything added since the last Restart; once only.
  ManifestEntry Result();

 private:
  std::unique_ptr<Sha256> hash_;
  std::uint64_t size_ = 0;
};

/// Throws AppError 5 saying which of size and hash differs when actual is not what entry
/// describes; name is what the messages call the file.
void CheckAgainstManifest(const ManifestEntry& actual, const ManifestEntry& entry,
                          const std::string& name);
/// The same for bytes already in memory.
void CheckBytesAgainstManifest(std::string_view bytes, const ManifestEntry& entry,
                               const std::string& name);

/// The highest serial accepted for a program folder, kept in a one-line file: 0 when the file
/// is missing. Throws AppError naming the file when it cannot be read or holds no serial.
std::uint64_t ReadAcceptedSerial(const std::string& path);
/// Replaces the file atomically. Throws AppError naming the file.
void WriteAcceptedSerial(const std::string& path, std::uint64_t serial);

}  // namespace halyard
