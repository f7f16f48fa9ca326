// halyard-publish: turns a release folder into an update set that a plain web server can serve.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "core/app_error.h"
#include "core/text.h"
#include "set_signing.h"
#include "set_writer.h"
#include "update_set.h"

namespace {
namespace fs = std::filesystem;
using namespace halyard::publish;

constexpr int kExitPublished = 0;
constexpr int kExitRefused = 1;
constexpr int kExitWriteFailed = 2;
constexpr int kExitUsage = 64;

constexpr const char* kFooter = R"(What it writes into SET_FOLDER:
  files/...         every file of the release, at its path below the release folder; the
                    updater drops the first folder of each path, so files/bin/tool is
                    installed as bin/tool in the program folder
  files/WINDOWS/... the files named by --windows, installed in the updater's Windows folder
  files/SYSTEM/...  the files named by --system, installed in its system folder
  Registry.txt      the --registry file (LF line ends become CR LF), else just "REGEDIT4"
  FileChanges.txt   "File Changes:", then one line per file: its modification time in local
                    time as YYYY-MM-DD HH:MM:SS, its path, and ZIPPED or EXECUTE; CR LF ends
  Manifest.txt      with --sign: the SHA-256 and size of both lists and of every file as
                    served, and a serial one above the previous manifest's (1 at first)
  Manifest.sig      with --sign: the Ed25519 signature of Manifest.txt, in base64
Serve SET_FOLDER as the update root, Scheme + "://" + ServerName + "/" + ServerPath + "/".

  halyard-publish keygen SECRET_FILE
writes a new secret key to SECRET_FILE (readable by its owner only; an existing file is never
replaced) and prints its public key, for updater.ini section "Security", key "PublicKey".
A folder that holds a signed set is only published again with --sign.

Every file appears by an atomic rename and FileChanges.txt is written last, so a web server
may serve the folder while it is published again. Dates come from the files' modification
times, so publishing an unchanged release again changes no date and no file; files of an
earlier publish that the release no longer holds are removed from files/ at the end. A
zipped file's date is rounded down to an even second, the precision of a zip archive.

PATTERN is a shell wildcard pattern (fnmatch) matched against each file's path below the
release folder, with "/" between folders; "*" and "?" match "/" too, so '*.dat' matches
data files in every folder and 'plugins/*' everything under plugins. Quote patterns.
A zipped file is served as the one entry of an archive named like the file with its
extension replaced by "zip" (plugins/spell.dat as plugins/spell.zip), as the updater asks
for it; a file without an extension cannot be zipped.
PATH (--windows, --system) is a file or folder of the release; a folder's files keep their
path below it, a named file keeps its name: --windows fonts puts fonts/a.ttf at
files/WINDOWS/a.ttf.

Refused, naming the file, with nothing written: names the updater would stage under the same
name (they differ only in letter case, or in "/" against "_"), two files served under one
name, paths holding ",", "\", "?", "#", "%" or a control character, paths the updater
refuses as unsafe, its own working names in the program folder (Temp/, Temp.lock,
TempFileChanges.txt, Registry.txt, Halyard.journal, any letter case), a first folder named
WINDOWS or SYSTEM not given with --windows or --system, staging names longer than 255 bytes,
more than 32,767 files, links to folders and special files, and registry lines the updater
would reject or skip (fewer than four fields, an unknown root key, a number beyond 32 bits).

Exit codes:
  0   the set was written (or, with --dry-run, its list printed)
  1   the release was refused; the reasons were printed, nothing was written
  2   writing failed; the reason was printed, the published list is still the previous one
  64  the command line was wrong
)";

struct Arguments {
  std::string release;
  std::string set;
  std::string registry_file;
  std::string secret_file;
  PublishOptions options;
  bool dry_run = false;
};

bool Contains(const fs::path& outer, const fs::path& inner) {
  const fs::path relative = inner.lexically_relative(outer);
  return !relative.empty() && *relative.begin() != "..";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw std::runtime_error("cannot read " + path);
  return bytes;
}

void PrintSummary(const UpdateSet& set, const fs::path& folder, const WriteSummary& summary) {
  std::cout << "Published " << set.entries.size() << " files to " << folder.string() << ": "
            << summary.written << " written, " << summary.unchanged << " unchanged, "
            << summary.removed << " removed\n"
            << kChangeListName << (summary.change_list_written ? " written" : " unchanged") << ", "
            << kRegistryListName << (summary.registry_written ? " written" : " unchanged") << "\n";
}

int KeyGen(int argc, char** argv) {
  CLI::App app{"Writes a new Ed25519 secret key for signing update sets and prints its public key.",
               "halyard-publish keygen"};
  std::string secret_file;
  app.add_option("SECRET_FILE", secret_file, "Where the secret key is written (must not exist)")
      ->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitPublished : kExitUsage;
  }
  try {
    const halyard::SecretKey secret = CreateSecretKeyFile(secret_file);
    const halyard::PublicKey public_key = halyard::PublicKeyOf(secret);
    std::cout << halyard::EncodeBase64(public_key.data(), public_key.size()) << "\n";
  } catch (const halyard::AppError& error) {
    std::cerr << "halyard-publish: " << error.Description() << "\n";
    return kExitWriteFailed;
  }
  return kExitPublished;
}

/// Signs the set just written: its manifest and signature. Returns the exit code.
int Sign(const UpdateSet& set, const fs::path& folder, const halyard::SecretKey& secret,
         std::uint64_t serial) {
  try {
    WriteSignedManifest(DescribeSet(set, folder, serial), folder, secret);
  } catch (const halyard::AppError& error) {
    std::cerr << "halyard-publish: " << error.Description() << "\n";
    return kExitWriteFailed;
  }
  std::cout << halyard::kManifestName << " serial " << serial << " signed\n";
  return kExitPublished;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "keygen") return KeyGen(argc - 1, argv + 1);
  CLI::App app{
      "Turns a release folder (the files of a program as they are to be installed) into an "
      "update set that any static web server can serve to the updater.",
      "halyard-publish"};
  app.footer(kFooter);
  app.get_formatter()->column_width(24);
  Arguments arguments;
  app.add_option("RELEASE_FOLDER", arguments.release,
                 "The release, laid out like the program "
                 "folder")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option("SET_FOLDER", arguments.set,
                 "Where the update set is written (created if "
                 "missing)")
      ->required();
  app.add_option("--zip", arguments.options.zip_patterns,
                 "Serve the files matching PATTERN zipped (repeatable)")
      ->type_name("PATTERN")
      ->allow_extra_args(false);
  app.add_option("--execute", arguments.options.execute_patterns,
                 "Mark the files matching PATTERN to be run after the update (repeatable)")
      ->type_name("PATTERN")
      ->allow_extra_args(false);
  app.add_option("--registry", arguments.registry_file,
                 "Publish this registry change list as Registry.txt")
      ->type_name("FILE")
      ->check(CLI::ExistingFile);
  app.add_option("--windows", arguments.options.windows_paths,
                 "Install this release file or folder in the Windows folder (repeatable)")
      ->type_name("PATH")
      ->allow_extra_args(false);
  app.add_option("--system", arguments.options.system_paths,
                 "Install this release file or folder in the system folder (repeatable)")
      ->type_name("PATH")
      ->allow_extra_args(false);
  app.add_option("--sign", arguments.secret_file,
                 "Add Manifest.txt and its signature Manifest.sig, signed with this secret key")
      ->type_name("SECRET_FILE")
      ->check(CLI::ExistingFile);
  app.add_flag("--dry-run", arguments.dry_run,
               "Print the change list that would be written, and write nothing");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitPublished : kExitUsage;
  }

  const fs::path release = fs::weakly_canonical(fs::absolute(arguments.release));
  const fs::path set_folder = fs::weakly_canonical(fs::absolute(arguments.set));
  if (Contains(release, set_folder) || Contains(set_folder, release) || release == set_folder) {
    std::cerr << "halyard-publish: the release folder and the set folder must not lie inside "
                 "each other\n";
    return kExitUsage;
  }
  halyard::SecretKey secret{};
  try {
    if (!arguments.registry_file.empty()) {
      arguments.options.registry_text = ReadFile(arguments.registry_file);
    }
    if (!arguments.secret_file.empty()) secret = ReadSecretKeyFile(arguments.secret_file);
  } catch (const std::exception& error) {
    std::cerr << "halyard-publish: " << error.what() << "\n";
    return kExitUsage;
  }

  const ReleaseScan scan = ScanRelease(release);
  Plan plan = PlanUpdateSet(scan.files, arguments.options);
  plan.refusals.insert(plan.refusals.begin(), scan.problems.begin(), scan.problems.end());
  const bool sign = !arguments.secret_file.empty();
  std::uint64_t serial = 0;
  if (sign) {
    try {
      serial = NextSerial(set_folder);
    } catch (const halyard::AppError& error) {
      plan.refusals.push_back(error.Description());
    }
  } else if (HoldsManifest(set_folder)) {
    // Its manifest would no longer match, and every updater that checks it would refuse the set.
    plan.refusals.push_back(set_folder.string() +
                            " holds a signed set: publish it with --sign, or remove " +
                            halyard::kManifestName + " and " + halyard::kSignatureName +
                            " first to publish it unsigned");
  }
  for (const std::string& warning : plan.warnings) {
    std::cerr << "halyard-publish: warning: " << warning << "\n";
  }
  if (!plan.refusals.empty()) {
    for (const std::string& refusal : plan.refusals) {
      std::cerr << "halyard-publish: " << refusal << "\n";
    }
    std::cerr << "halyard-publish: refused " << plan.refusals.size()
              << (plan.refusals.size() == 1 ? " problem" : " problems")
              << "; nothing was written\n";
    return kExitRefused;
  }

  if (arguments.dry_run) {
    std::cout << halyard::ReplaceAll(plan.set.ChangeListText(), "\r\n", "\n");
    return kExitPublished;
  }
  try {
    const WriteSummary summary = WriteUpdateSet(plan.set, set_folder);
    PrintSummary(plan.set, set_folder, summary);
  } catch (const halyard::AppError& error) {
    std::cerr << "halyard-publish: " << error.Description() << "\n";
    return kExitWriteFailed;
  }
  return sign ? Sign(plan.set, set_folder, secret, serial) : kExitPublished;
}
