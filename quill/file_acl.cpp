#include "file_acl.h"

#include <sys/acl.h>
#include <sys/stat.h>

#include <cerrno>

// Linux keeps the POSIX.1e access ACL, which holds the permission bits as
// well: giving it gives the bits. macOS keeps an extended ACL beside the bits,
// absent where a file has none, and a file made in a folder may inherit one:
// there the bits are given apart and an absent ACL is given as an empty one,
// which removes what was inherited.
namespace {

bool acls_not_kept(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// A filesystem without modes of its own refuses the change of bits, and
// there every file has the mount's mode anyway.
void give_bits(int fd, mode_t mode) { (void)fchmod(fd, mode & 0777); }

#ifdef __APPLE__
acl_t read_acl(const std::string & path) {
    acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_EXTENDED);
    return acl == nullptr && errno == ENOENT ? acl_init(0) : acl;
}

int set_acl(int fd, acl_t acl, mode_t mode) {
    const int result = acl_set_fd_np(fd, acl, ACL_TYPE_EXTENDED);
    if (result == 0) give_bits(fd, mode);
    return result;
}
#else
acl_t read_acl(const std::string & path) { return acl_get_file(path.c_str(), ACL_TYPE_ACCESS); }

int set_acl(int fd, acl_t acl, mode_t) { return acl_set_fd(fd, acl); }
#endif

}  // namespace

void acl_free_deleter::operator()(void * acl) const { acl_free(acl); }

file_acl read_access_acl(const std::string & path) {
    file_acl result;
    result.acl.reset(read_acl(path));
    const int error = errno;
    if (result.acl) {
        result.state = file_acl::read;
    } else {
        result.state = acls_not_kept(error) ? file_acl::not_kept : file_acl::unreadable;
    }
    return result;
}

bool give_access_acl(int fd, const file_acl & acl, mode_t mode) {
    if (acl.state == file_acl::unreadable) return false;
    if (acl.state == file_acl::read && set_acl(fd, static_cast<acl_t>(acl.acl.get()), mode) == 0) return true;
    // Read from a filesystem that keeps ACLs, yet refused by the one of the
    // file in the making: a link's target may lie on another.
    if (acl.state == file_acl::read && !acls_not_kept(errno)) return false;
    give_bits(fd, mode);
    return true;
}
