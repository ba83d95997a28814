// The image file on Windows: the portable stream storage.
#include "sim/card_storage.h"

namespace sim {

StorageOpen OpenFileStorage(const std::string& path, Access access) { return OpenStreamStorage(path, access); }

}  // namespace sim
