#define FUSE_USE_VERSION 35
#include "UsbfsMount.h"

#include <errno.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

namespace usbsim {

bool readCaller(pid_t caller, uint64_t address, void* to, size_t size) {
  if (size == 0) return true;
  iovec local{to, size}, remote{reinterpret_cast<void*>(address), size};
  return process_vm_readv(caller, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

bool writeCaller(pid_t caller, uint64_t address, const void* from, size_t size) {
  return writeCaller(caller, {{address, from, size}});
}

bool writeCaller(pid_t caller, std::initializer_list<CallerBytes> pieces) {
  iovec local[8], remote[8];
  unsigned count = 0;
  ssize_t total = 0;
  for (const CallerBytes& piece : pieces) {
    if (piece.size == 0 || count == 8) continue;
    local[count] = {const_cast<void*>(piece.from), piece.size};
    remote[count++] = {reinterpret_cast<void*>(piece.address), piece.size};
    total += static_cast<ssize_t>(piece.size);
  }
  return count == 0 || process_vm_writev(caller, local, count, remote, count, 0) == total;
}

void UsbfsWaiter::reset(fuse_pollhandle* next) {
  if (handle != nullptr) fuse_pollhandle_destroy(handle);
  handle = next;
}

void UsbfsWaiter::wake() {
  if (handle == nullptr) return;
  fuse_lowlevel_notify_poll(handle);
  reset(nullptr);
}

namespace {

constexpr fuse_ino_t kRoot = FUSE_ROOT_ID;

fuse_ino_t inodeOf(int devnum) { return kRoot + static_cast<fuse_ino_t>(devnum); }

}  // namespace

// The filesystem's operations, on the loop's thread.
struct UsbfsOperations {
  static UsbfsMount& mountOf(fuse_req_t request) { return *static_cast<UsbfsMount*>(fuse_req_userdata(request)); }

  static struct stat attributes(fuse_ino_t inode, const UsbfsMount::Entry* entry) {
    struct stat st{};
    st.st_ino = inode;
    st.st_uid = getuid();
    st.st_gid = getgid();
    st.st_nlink = 1;
    st.st_mode = entry == nullptr ? S_IFDIR | 0755 : S_IFREG | entry->mode;
    st.st_size = entry == nullptr ? 0 : static_cast<off_t>(entry->contents.size());
    return st;
  }

  static void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    UsbfsMount& mount = mountOf(request);
    fuse_entry_param found{};
    {
      std::lock_guard<std::mutex> guard(mount.lock);
      auto it = std::find_if(mount.entries.begin(), mount.entries.end(),
                             [&](const auto& entry) { return entry.second.name == name; });
      if (parent != kRoot || it == mount.entries.end()) return (void)fuse_reply_err(request, ENOENT);
      found.ino = it->first;
      found.attr = attributes(it->first, &it->second);
    }
    fuse_reply_entry(request, &found);  // no caching: a chmod shows at once
  }

  static void getattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
    UsbfsMount::Entry entry;
    const bool root = inode == kRoot;
    if (!root && !mountOf(request).entry(inode, entry)) return (void)fuse_reply_err(request, ENOENT);
    struct stat st = attributes(inode, root ? nullptr : &entry);
    fuse_reply_attr(request, &st, 0);
  }

  // Only the mode changes (tests take a node away from a user with it).
  static void setattr(fuse_req_t request, fuse_ino_t inode, struct stat* wanted, int which, fuse_file_info*) {
    UsbfsMount& mount = mountOf(request);
    struct stat st;
    {
      std::lock_guard<std::mutex> guard(mount.lock);
      auto it = mount.entries.find(inode);
      if (it == mount.entries.end()) return (void)fuse_reply_err(request, ENOENT);
      if (which & FUSE_SET_ATTR_MODE) it->second.mode = wanted->st_mode & 07777;
      st = attributes(inode, &it->second);
    }
    fuse_reply_attr(request, &st, 0);
  }

  static void open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
    UsbfsDevice* device = mountOf(request).device(inode);
    if (device == nullptr) return (void)fuse_reply_err(request, ENOENT);
    info->fh = reinterpret_cast<uint64_t>(device->open());
    info->direct_io = 1;
    info->nonseekable = 0;
    fuse_reply_open(request, info);
  }

  static void release(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
    if (UsbfsDevice* device = mountOf(request).device(inode)) device->release(reinterpret_cast<void*>(info->fh));
    fuse_reply_err(request, 0);
  }

  // The descriptors, as a real node gives them to a read.
  static void read(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info*) {
    UsbfsMount::Entry entry;
    if (!mountOf(request).entry(inode, entry)) return (void)fuse_reply_err(request, ENOENT);
    size_t from = std::min(static_cast<size_t>(offset), entry.contents.size());
    fuse_reply_buf(request, entry.contents.data() + from, std::min(size, entry.contents.size() - from));
  }

  static void ioctl(fuse_req_t request, fuse_ino_t inode, unsigned int command, void* argument,
                    fuse_file_info* info, unsigned flags, const void* in, size_t inSize, size_t outSize) {
    if (flags & FUSE_IOCTL_COMPAT) return (void)fuse_reply_err(request, ENOSYS);
    UsbfsDevice* device = mountOf(request).device(inode);
    if (device == nullptr) return (void)fuse_reply_err(request, ENODEV);
    UsbfsRequest asked{fuse_req_ctx(request)->pid, command, reinterpret_cast<uint64_t>(argument), in, inSize, {}};
    int result = device->ioctl(reinterpret_cast<void*>(info->fh), asked);
    if (result < 0) return (void)fuse_reply_err(request, -result);
    fuse_reply_ioctl(request, result, asked.out.data(), std::min(asked.out.size(), outSize));
  }

  static void poll(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info, fuse_pollhandle* waiter) {
    UsbfsDevice* device = mountOf(request).device(inode);
    if (device == nullptr) {
      if (waiter != nullptr) fuse_pollhandle_destroy(waiter);
      return (void)fuse_reply_poll(request, POLLERR | POLLHUP);
    }
    fuse_reply_poll(request, device->poll(reinterpret_cast<void*>(info->fh), waiter));
  }
};

UsbfsDevice* UsbfsMount::device(uint64_t inode) {
  std::lock_guard<std::mutex> guard(lock);
  auto it = entries.find(inode);
  return it == entries.end() ? nullptr : it->second.device;
}

bool UsbfsMount::entry(uint64_t inode, Entry& copy) {
  std::lock_guard<std::mutex> guard(lock);
  auto it = entries.find(inode);
  if (it == entries.end()) return false;
  copy = it->second;
  return true;
}

bool UsbfsMount::mount(const std::string& parent, std::string& why) {
  folder = parent + "/usbfs";
  if (mkdir(folder.c_str(), 0755) != 0) {
    why = "cannot make " + folder + ": " + strerror(errno);
    folder.clear();
    return false;
  }
  fuse_lowlevel_ops operations{};
  operations.lookup = UsbfsOperations::lookup;
  operations.getattr = UsbfsOperations::getattr;
  operations.setattr = UsbfsOperations::setattr;
  operations.open = UsbfsOperations::open;
  operations.release = UsbfsOperations::release;
  operations.read = UsbfsOperations::read;
  operations.ioctl = UsbfsOperations::ioctl;
  operations.poll = UsbfsOperations::poll;
  // Every user may reach the nodes, as far as their modes allow.
  const bool root = geteuid() == 0;
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  fuse_opt_add_arg(&args, "usb_bridge");
  fuse_opt_add_arg(&args, root ? "-oallow_other,default_permissions,fsname=tv-usbfs"
                               : "-odefault_permissions,fsname=tv-usbfs");
  session = fuse_session_new(&args, &operations, sizeof operations, this);
  fuse_opt_free_args(&args);
  if (session == nullptr || fuse_session_mount(session, folder.c_str()) != 0) {
    why = "cannot mount the device nodes on " + folder + " (FUSE: is /dev/fuse there, and fuse3 installed?)";
    if (session != nullptr) fuse_session_destroy(session);
    session = nullptr;
    rmdir(folder.c_str());
    folder.clear();
    return false;
  }
  loop = std::thread([this] { fuse_session_loop(session); });
  return true;
}

void UsbfsMount::stop() {
  if (session == nullptr || !loop.joinable()) return;
  fuse_session_exit(session);
  fuse_session_unmount(session);  // ends the loop's wait for the next request
  loop.join();
}

UsbfsMount::~UsbfsMount() {
  stop();
  if (session != nullptr) fuse_session_destroy(session);
  if (!folder.empty()) rmdir(folder.c_str());
}

std::string UsbfsMount::add(int devnum, UsbfsDevice* device, std::string contents) {
  char name[16];
  snprintf(name, sizeof name, "%03d", devnum);
  std::lock_guard<std::mutex> guard(lock);
  entries[inodeOf(devnum)] = Entry{name, device, std::move(contents), 0644};
  return folder + "/" + name;
}

}  // namespace usbsim
