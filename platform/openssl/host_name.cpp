#include <limits.h>
#include <unistd.h>

#include "platform/openssl/certificate_maker.hpp"

namespace quillon {

std::string machine_host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

}  // namespace quillon
