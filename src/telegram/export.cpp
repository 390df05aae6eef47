#include "telegram/export.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/text.hpp"
#include "telegram/base64.hpp"

namespace norvalith {

namespace {

// Attribute and element text: markup characters become entities.
void put_escaped(TextBuffer& w, const char* s) {
    for (; *s != '\0'; ++s) {
        switch (*s) {
            case '&': w.text("&amp;"); break;
            case '<': w.text("&lt;"); break;
            case '>': w.text("&gt;"); break;
            case '"': w.text("&quot;"); break;
            case '\'': w.text("&apos;"); break;
            default: w.put(*s); break;
        }
    }
}

// A rename is durable only once its directory is: without this, a power cut can
// take back a file that was reported written. A file system that cannot sync a
// directory at all (EINVAL) keeps the rename as it keeps anything; failing every
// export there would lose them all.
bool sync_directory(int dir_fd) { return fsync(dir_fd) == 0 || errno == EINVAL; }

// A file system that lacks the call (FAT, vfat, exfat, many FUSE ones, older
// kernels): EINVAL for an unknown flag, ENOSYS for a missing call, EPERM where
// links are refused, EOPNOTSUPP where a FUSE file system says so.
bool rename_unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }
bool link_unsupported(int error) { return error == EPERM || error == ENOSYS || error == EOPNOTSUPP; }

int rename_noreplace(int dir_fd, const char* from, const char* to) {
    return renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE);
}
int link_at(int dir_fd, const char* from, const char* to) { return linkat(dir_fd, from, dir_fd, to, 0); }

// The day's first telegram is the one the file keeps: a restart or a clock set
// back must never replace a file a collector may already have taken. A name
// that exists already counts as placed.
bool place_new(int dir_fd, const char* temporary, const char* name) {
    if (g_place_calls.rename_noreplace(dir_fd, temporary, name) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        unlinkat(dir_fd, temporary, 0);
        return true;
    }
    if (!rename_unsupported(errno)) {
        return false;
    }
    // Without the flag: a link never replaces a name either.
    if (g_place_calls.link(dir_fd, temporary, name) == 0 || errno == EEXIST) {
        unlinkat(dir_fd, temporary, 0);
        return true;
    }
    if (!link_unsupported(errno)) {
        return false;
    }
    // Neither (FAT): look, then rename. The daemon holds the line's lock, so no
    // second writer can put the name there between the two.
    struct stat existing {};
    if (fstatat(dir_fd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        unlinkat(dir_fd, temporary, 0);
        return true;
    }
    return errno == ENOENT && renameat(dir_fd, temporary, dir_fd, name) == 0;
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.size() <= 10 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

PlaceCalls g_place_calls = {rename_noreplace, link_at};

bool is_export_temporary(std::string_view name) {
    constexpr std::string_view suffix = ".xml.tmp";
    if (name.size() <= 1 + suffix.size() || name.front() != '.' || !name.ends_with(suffix)) {
        return false;
    }
    // Built from pointers, not substr(): its range check throws, and that alone
    // links the exception machinery into a daemon that has no use for it.
    const std::string_view middle(name.data() + 1, name.size() - 1 - suffix.size());
    const std::size_t dot = middle.find('.');
    if (dot == std::string_view::npos) {
        return all_digits(middle);  // the earlier form, without the pid
    }
    return all_digits(std::string_view(middle.data(), dot)) &&
           all_digits(std::string_view(middle.data() + dot + 1, middle.size() - dot - 1));
}

std::int32_t sweep_export_temporaries(const char* dir) {
    const int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        return 0;
    }
    DIR* listing = fdopendir(dir_fd);
    if (listing == nullptr) {
        close(dir_fd);
        return 0;
    }
    std::int32_t removed = 0;
    while (const dirent* entry = readdir(listing)) {
        // A link or anything else under such a name is not a leftover of ours.
        struct stat info {};
        if (is_export_temporary(entry->d_name) && fstatat(dir_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && unlinkat(dir_fd, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    closedir(listing);
    return removed;
}

std::size_t format_export(std::span<char> out, std::span<const std::uint8_t> raw_copy, const MeterInfo& meter,
                          const DeviceIdentity& identity, const WallTime& at) {
    char raw[kBase64Capacity];
    if (out.empty() || !at.valid || base64_size(raw_copy.size()) > sizeof raw) {
        return 0;
    }
    base64_encode(raw_copy, raw);

    const std::tm& local = at.local;
    TextBuffer w{out.data(), out.size()};
    out[0] = '\0';
    w.text("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n");
    w.text("<Envelope xmlns=\"urn:zol-meter:temp-1-0\">\n");
    w.text("  <Push firmware=\"");
    put_escaped(w, identity.firmware);
    w.text("\" name=\"");
    put_escaped(w, identity.name);
    w.text("\" deviceID=\"");
    put_escaped(w, identity.device_id);
    w.text("\">\n");
    w.text("    <WAN public-ip=\"");
    put_escaped(w, identity.public_ip);
    w.text("\"/>\n");
    const auto letters = manufacturer_letters(meter.manufacturer);
    w.format("    <Meter id=\"%08u\" medium=\"V\" mfct=\"", meter.id);
    put_escaped(w, letters.data());
    w.format("\" address=\"%08u\">\n", meter.id);
    w.format("      <StoreTime source=\"Network Time\" iso8601=\"%04u-%02u-%02uT%02u:%02u:%02uZ\" utime=\"%llu\"/>\n",
             static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
             static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
             static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec),
             static_cast<unsigned long long>(at.seconds));
    w.text("      <Raw encoding=\"base64\">");
    w.text(raw);
    w.text("</Raw>\n");
    w.text("    </Meter>\n");
    w.text("  </Push>\n");
    w.text("</Envelope>\n");
    return w.overflow ? 0 : w.length;
}

bool export_xml(const char* dir, const WallTime& at, std::span<const std::uint8_t> raw_copy, const MeterInfo& meter,
                const DeviceIdentity& identity) {
    char document[kExportDocumentCapacity];
    const std::size_t size = format_export(document, raw_copy, meter, identity, at);
    if (size == 0) {
        return false;
    }

    const std::tm& local = at.local;
    char name[48];
    char temporary[48];
    const int name_len = std::snprintf(name, sizeof name, "%08u_%04u-%02u-%02u.xml", meter.id,
                                       static_cast<unsigned>(local.tm_year + 1900),
                                       static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday));
    // A leading dot and a suffix: collectors that pick up *.xml never see it half
    // written. The pid: no other process ever writes or renames this one.
    const int temp_len =
        std::snprintf(temporary, sizeof temporary, ".%08u.%d.xml.tmp", meter.id, static_cast<int>(getpid()));
    if (name_len < 0 || static_cast<std::size_t>(name_len) >= sizeof name || temp_len < 0 ||
        static_cast<std::size_t>(temp_len) >= sizeof temporary) {
        return false;
    }

    const int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        return false;
    }
    struct stat existing {};
    if (fstatat(dir_fd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        close(dir_fd);
        return true;  // today's file is there: it keeps the first telegram
    }
    // A leftover from a crash or a planted link is not ours to follow: remove it.
    unlinkat(dir_fd, temporary, 0);
    const int fd = openat(dir_fd, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    bool ok = fd >= 0;
    if (ok) {
        ok = write_all(fd, document, size);
        ok = fsync(fd) == 0 && ok;
        ok = close(fd) == 0 && ok;
        ok = ok && place_new(dir_fd, temporary, name);
        if (!ok) {
            unlinkat(dir_fd, temporary, 0);
        }
        ok = ok && sync_directory(dir_fd);
    }
    close(dir_fd);
    return ok;
}

}  // namespace norvalith
