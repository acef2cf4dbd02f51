#include "Filesystem/TemporaryDirectories.h"

#include "Filesystem/FileOperations.h"
#include "Filesystem/internal/CommandLine.h"
#include "Filesystem/internal/FilesystemError.h"
#include "Filesystem/internal/PrivateDirectory.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <stdexcept>
#include <system_error>

namespace fs = boost::filesystem;

namespace Tarnix::Core {

ioPath GenerateTempDir() {
  try {
    boost::uuids::random_generator generator;
    const ioPath directory = ioPath::temp_directory_path() / ioPath(boost::uuids::to_string(generator()));
    // A single attempt whose outcome is not checked: the caller gets the path either way.
    (void)internal::CreatePrivateDirectory(directory);
    return directory;
  } catch (...) {
    // This exception text is part of the library's contract.
    throw std::runtime_error("Unable to create temp directory");
  }
}

ioPath GetProductTemporaryFilesDir(const std::string& productName) {
  // The product name goes through the file-system library's own narrow
  // conversion, not through ioPath's UTF-8 one.
  const fs::path product(productName);
  const ioPath systemTemp = ioPath::temp_directory_path();
  const ioPath temp = systemTemp / ioPath(product) / ioPath("temp");

  // Every level below the system temporary directory (one for a plain product
  // name) is created private or must already be ours.
  fs::path level = systemTemp.platformString();
  for (const fs::path& element : product.relative_path() / "temp") {
    level /= element;
    if (element == "..") {
      internal::ThrowFilesystemError("GetProductTemporaryFilesDir: a product name must not lead out of the temporary "
                                     "directory", ioPath(product), std::make_error_code(std::errc::invalid_argument));
    }
    switch (internal::MakePrivateDirectory(ioPath(level))) {
      case internal::PrivateDirectoryState::kUsable:
        break;
      case internal::PrivateDirectoryState::kMissing:
        return temp;  // cannot be created: not detected, by contract
      case internal::PrivateDirectoryState::kForeign:
        internal::ThrowFilesystemError(
            "GetProductTemporaryFilesDir: refusing a symbolic link or another user's directory", ioPath(level),
            std::make_error_code(std::errc::permission_denied));
    }
  }
  return temp;
}

void ClearProductTemporaryFilesDir(const std::string& productName, int minAgeDays) {
  const ioPath temp = GetProductTemporaryFilesDir(productName).absolute_path();
  (void)RemoveDir(temp, minAgeDays, /*removeSelf=*/true);
}

ioPath GetApplicationDir() {
  const auto word = internal::FirstCommandLineWord();
  if (!word) return ioPath();
  return ioPath(fs::path(*word)).parent_path();
}

}  // namespace Tarnix::Core
