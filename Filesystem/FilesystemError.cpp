#include "Filesystem/internal/FilesystemError.h"

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

namespace Tarnix::Core::internal {

void ThrowFilesystemError(const std::string& what, const ioPath& path, std::error_code error) {
  const boost::system::error_category& category = error.category() == std::system_category()
                                                      ? boost::system::system_category()
                                                      : boost::system::generic_category();
  throw boost::filesystem::filesystem_error(what, boost::filesystem::path(path.platformString()),
                                            boost::system::error_code(error.value(), category));
}

}  // namespace Tarnix::Core::internal
