#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

// A file's access ACL, read by name and given to another file, so that a
// replacement grants exactly what the file it replaces granted: the users
// and groups named there, and the mask that stands in the group bits.
struct acl_free_deleter {
    void operator()(void * acl) const;
};

struct file_acl {
    enum state_t {
        not_kept,    // the filesystem keeps no ACLs: the permission bits say all
        read,        // `acl` holds it
        unreadable,  // it is there, but could not be read
    } state = not_kept;
    std::unique_ptr<void, acl_free_deleter> acl;
};

// The ACL of the file at `path`, a link followed.
file_acl read_access_acl(const std::string & path);

// Gives the file open on `fd` the ACL, or `mode`'s permission bits where the
// filesystem keeps no ACLs. False where the ACL could not be read or given.
bool give_access_acl(int fd, const file_acl & acl, mode_t mode);
