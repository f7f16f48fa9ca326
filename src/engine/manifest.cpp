// Reading, writing and checking the signed manifest of an update set. Signatures are Ed25519
// through libsodium; hashes are SHA-256 through OpenSSL's digest, which uses the processor's
// SHA instructions and so keeps a signed update close to an unsigned one in time.
#include "engine/manifest.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/text.h"
#include "platform/file_system.h"

namespace halyard {
namespace {

constexpr std::string_view kHeader = "Halyard-Manifest: 1";
constexpr std::string_view kSerialPrefix = "Serial: ";
constexpr std::size_t kHashDigits = 64;
constexpr std::size_t kReadPiece = 256 * 1024;

[[noreturn]] void Refuse(const std::string& description) {
  throw AppError(error_number::kInvalidArgument, "Manifest", description);
}

void InitSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) Refuse("The signature library cannot start");
}

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  std::uint64_t value = 0;
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text.front() == '0')) return {};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return {};
  return value;
}

bool IsHash(std::string_view text) {
  return text.size() == kHashDigits &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string NormalPath(std::string_view path) {
  return ReplaceAll(path, "\\", "/");
}

std::string HexOf(const unsigned char* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 0x0f];
  }
  return hex;
}

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

/// SHA-256 fed in pieces.
class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), Method(), nullptr) != 1)
      Refuse("SHA-256 is not available");
  }
  void Add(const void* bytes, std::size_t size) {
    if (EVP_DigestUpdate(context_.get(), bytes, size) != 1) Refuse("SHA-256 failed");
  }
  std::string HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest, &size) != 1) Refuse("SHA-256 failed");
    return HexOf(digest, size);
  }

 private:
  /// Looked up once: OpenSSL's lookup for each new hash costs microseconds, which add up over
  /// a thousand small files. Kept for the life of the process.
  static const EVP_MD* Method() {
    static const EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }

  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context_;
};

StoredFileHash::StoredFileHash() : hash_(std::make_unique<Sha256>()) {}
StoredFileHash::~StoredFileHash() = default;

void StoredFileHash::Restart() {
  hash_ = std::make_unique<Sha256>();
  size_ = 0;
}

void StoredFileHash::Add(const char* bytes, std::size_t size) {
  hash_->Add(bytes, size);
  size_ += size;
}

ManifestEntry StoredFileHash::Result() {
  return ManifestEntry{hash_->HexDigest(), size_};
}

void CheckAgainstManifest(const ManifestEntry& actual, const ManifestEntry& entry,
                          const std::string& name) {
  if (actual.size != entry.size) {
    Refuse(name + " does not match the manifest: " + std::to_string(actual.size) +
           " bytes where the manifest says " + std::to_string(entry.size));
  }
  if (actual.sha256 != entry.sha256) {
    Refuse(name + " does not match the manifest: SHA-256 " + actual.sha256 +
           " where the manifest says " + entry.sha256);
  }
}

const ManifestEntry* Manifest::Find(std::string_view path) const {
  const auto found = entries.find(NormalPath(path));
  return found == entries.end() ? nullptr : &found->second;
}

std::string Manifest::Text() const {
  std::string text =
      std::string(kHeader) + "\n" + std::string(kSerialPrefix) + std::to_string(serial) + "\n";
  for (const auto& [path, entry] : entries) {
    text += entry.sha256 + " " + std::to_string(entry.size) + " " + path + "\n";
  }
  return text;
}

Manifest ParseManifest(std::string_view text) {
  if (!text.empty() && text.back() != '\n') Refuse("The manifest's last line has no line end");
  std::vector<std::string> lines = Split(text, "\n");
  lines.pop_back();  // the empty piece after the last line end
  if (lines.empty() || lines[0] != kHeader) {
    Refuse("The manifest does not begin with \"" + std::string(kHeader) + "\"");
  }
  Manifest manifest;
  const std::optional<std::uint64_t> serial =
      lines.size() > 1 && lines[1].starts_with(kSerialPrefix)
          ? ParseNumber(std::string_view(lines[1]).substr(kSerialPrefix.size()))
          : std::nullopt;
  if (!serial || *serial == 0) Refuse("The manifest's second line is not \"Serial: \" + a number");
  manifest.serial = *serial;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const auto size_end = line.find(' ', kHashDigits + 1);
    const std::string_view hash = std::string_view(line).substr(0, kHashDigits);
    std::optional<std::uint64_t> size;
    if (line.size() > kHashDigits && line[kHashDigits] == ' ' && size_end != std::string::npos) {
      size =
          ParseNumber(std::string_view(line).substr(kHashDigits + 1, size_end - kHashDigits - 1));
    }
    const std::string path = size ? line.substr(size_end + 1) : std::string();
    if (!IsHash(hash) || !size || path.empty() || path.find('\r') != std::string::npos) {
      Refuse("Line " + std::to_string(i + 1) +
             " of the manifest is not \"SHA-256 size path\": " + EscapeControlCharacters(line));
    }
    if (!manifest.entries.emplace(NormalPath(path), ManifestEntry{std::string(hash), *size})
             .second) {
      Refuse("The manifest names " + EscapeControlCharacters(path) + " twice");
    }
  }
  return manifest;
}

std::vector<PublicKey> ParsePublicKeys(std::string_view text) {
  std::vector<PublicKey> keys;
  for (const std::string& piece : Split(text, ",")) {
    const std::string trimmed = Trim(piece);
    const auto bytes = DecodeBase64(trimmed);
    if (!bytes || bytes->size() != PublicKey().size()) {
      Refuse("The public key \"" + EscapeControlCharacters(trimmed) +
             "\" is not the base64 of a 32-byte Ed25519 key");
    }
    PublicKey key;
    std::memcpy(key.data(), bytes->data(), key.size());
    keys.push_back(key);
  }
  if (keys.size() > 2) Refuse("Give one public key, or two separated by \",\"");
  return keys;
}

std::optional<std::size_t> FindSigningKey(std::string_view text, std::string_view signature_text,
                                          const std::vector<PublicKey>& keys) {
  InitSodium();
  const auto signature = DecodeBase64(signature_text);
  if (!signature || signature->size() != crypto_sign_BYTES) return std::nullopt;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (crypto_sign_verify_detached(signature->data(),
                                    reinterpret_cast<const unsigned char*>(text.data()),
                                    text.size(), keys[i].data()) == 0) {
      return i;
    }
  }
  return std::nullopt;
}

SecretKey GenerateSecretKey() {
  InitSodium();
  SecretKey secret;
  randombytes_buf(secret.data(), secret.size());
  return secret;
}

PublicKey PublicKeyOf(const SecretKey& secret) {
  InitSodium();
  PublicKey public_key;
  unsigned char expanded[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(public_key.data(), expanded, secret.data());
  sodium_memzero(expanded, sizeof expanded);
  return public_key;
}

std::string SignText(std::string_view text, const SecretKey& secret) {
  InitSodium();
  PublicKey public_key;
  unsigned char expanded[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(public_key.data(), expanded, secret.data());
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), expanded);
  sodium_memzero(expanded, sizeof expanded);
  return EncodeBase64(signature, sizeof signature) + "\n";
}

std::string EncodeBase64(const unsigned char* bytes, std::size_t size) {
  InitSodium();
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::optional<std::vector<unsigned char>> DecodeBase64(std::string_view text) {
  InitSodium();
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
  std::vector<unsigned char> bytes(text.size());
  std::size_t size = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &size, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size()) {
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

std::string Sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.Add(bytes.data(), bytes.size());
  return hash.HexDigest();
}

ManifestEntry DescribeFile(const std::string& path) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rbe"));
  if (!file) {
    throw AppError(errno == ENOENT ? error_number::kFileNotFound : error_number::kPathFileAccess,
                   "Manifest", "Cannot read " + path + ": " + std::strerror(errno));
  }
  Sha256 hash;
  ManifestEntry entry;
  const auto buffer = std::make_unique_for_overwrite<char[]>(kReadPiece);
  while (const std::size_t read = std::fread(buffer.get(), 1, kReadPiece, file.get())) {
    hash.Add(buffer.get(), read);
    entry.size += read;
  }
  if (std::ferror(file.get())) {
    throw AppError(error_number::kPathFileAccess, "Manifest", "Cannot read " + path);
  }
  entry.sha256 = hash.HexDigest();
  return entry;
}

void CheckBytesAgainstManifest(std::string_view bytes, const ManifestEntry& entry,
                               const std::string& name) {
  CheckAgainstManifest(ManifestEntry{Sha256Hex(bytes), bytes.size()}, entry, name);
}

std::uint64_t ReadAcceptedSerial(const std::string& path) {
  const std::optional<std::string> text = ReadFileBytesIfPresent(path, 64);
  if (!text) return 0;
  const std::string_view digits =
      std::string_view(*text).substr(0, text->ends_with('\n') ? text->size() - 1 : text->size());
  const std::optional<std::uint64_t> serial = ParseNumber(digits);
  if (!serial) {
    throw AppError(error_number::kPathFileAccess, "Manifest",
                   "The serial kept in " + path +
                       " is not a number; remove the file to accept "
                       "the server's manifest again");
  }
  return *serial;
}

void WriteAcceptedSerial(const std::string& path, std::uint64_t serial) {
  WriteFileAtomically(path, std::to_string(serial) + "\n");
}

}  // namespace halyard
