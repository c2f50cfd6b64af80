// The emulated modules' device nodes, served as files of a FUSE filesystem.
//
// A program's usbdevfs requests on such a file reach the bridge as the
// kernel's own file operations, one exchange each: the bridge reads and
// writes the program's transfer buffers directly, as the kernel does, and
// poll() on the file waits until a transfer completes, as on a real node.
// (Through umockdev's ioctl channel a request took about ten socket messages,
// and poll() never waited: a program waiting for data asked again and again.)
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct fuse_session;
struct fuse_pollhandle;

namespace usbsim {

// A process's memory, as the kernel reaches a caller's buffers; false when
// the process or the range is gone.
bool readCaller(pid_t caller, uint64_t address, void* to, size_t size);
bool writeCaller(pid_t caller, uint64_t address, const void* from, size_t size);
// Several ranges in one exchange.
struct CallerBytes {
  uint64_t address;
  const void* from;
  size_t size;
};
bool writeCaller(pid_t caller, std::initializer_list<CallerBytes> pieces);

// A program waiting in poll() on a file, woken once when its file may have
// changed; the kernel then asks again (and hands over a new waiter).
class UsbfsWaiter {
 public:
  UsbfsWaiter() = default;
  ~UsbfsWaiter() { reset(nullptr); }
  UsbfsWaiter(const UsbfsWaiter&) = delete;
  UsbfsWaiter& operator=(const UsbfsWaiter&) = delete;
  void reset(fuse_pollhandle* handle);
  void wake();

 private:
  fuse_pollhandle* handle = nullptr;
};

// What one open file of a node asks; answered with a result >= 0 or -errno.
struct UsbfsRequest {
  pid_t caller;
  unsigned command;
  uint64_t argument;       // the program's pointer (or value)
  const void* in;          // what the kernel copied in for the command
  size_t inSize;
  std::string out;         // what the kernel copies back to the argument
};

// One device node's behaviour; its calls come on the filesystem's thread.
class UsbfsDevice {
 public:
  virtual ~UsbfsDevice() = default;
  // A new open file: its handle, given back with its later requests.
  virtual void* open() = 0;
  virtual void release(void* file) = 0;
  virtual int ioctl(void* file, UsbfsRequest& request) = 0;
  // The file's poll events now; the waiter is the file's to wake.
  virtual unsigned poll(void* file, fuse_pollhandle* waiter) = 0;
};

class UsbfsMount {
 public:
  UsbfsMount() = default;
  ~UsbfsMount();
  UsbfsMount(const UsbfsMount&) = delete;
  UsbfsMount& operator=(const UsbfsMount&) = delete;

  // Mounts the filesystem on the new folder `parent`/usbfs and starts
  // serving it; false with the reason when FUSE is not available.
  bool mount(const std::string& parent, std::string& why);
  // Ends the serving: no device is called after it returns.
  void stop();

  // A node for the device number (read() gives `contents`); its path.
  std::string add(int devnum, UsbfsDevice* device, std::string contents);

 private:
  struct Entry {
    std::string name;
    UsbfsDevice* device;
    std::string contents;
    unsigned mode;
  };
  friend struct UsbfsOperations;
  // The requests of an open file need only its device; nullptr when unknown.
  UsbfsDevice* device(uint64_t inode);
  bool entry(uint64_t inode, Entry& copy);

  std::string folder;
  fuse_session* session = nullptr;
  std::thread loop;
  std::mutex lock;  // the entries: added by the bridge, read by the loop
  std::map<uint64_t, Entry> entries;
};

}  // namespace usbsim
