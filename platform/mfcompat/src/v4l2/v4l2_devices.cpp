// Enumeration of V4L2 capture nodes and the device objects the COM layer wraps.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "v4l2/v4l2_internal.h"
#include "v4l2/v4l2_testing.h"
#include "v4l2_capabilities.h"

namespace mfcompat {
namespace v4l2 {
namespace {

using trelvo_platform::is_camera;

constexpr char kDevDir[] = "/dev";
const char* const kLinkDirs[] = {"/dev/v4l/by-id", "/dev/v4l/by-path"};

// "videoN" → N, or -1 for any other name.
long node_number(const std::string& name) {
    static const char kPrefix[] = "video";
    const size_t prefix = sizeof kPrefix - 1;
    if (name.size() <= prefix || name.size() > prefix + 9 || name.compare(0, prefix, kPrefix) != 0) return -1;
    long n = 0;
    for (size_t i = prefix; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// What scandir returns: an array of entries, each malloc'd, and the array itself.
class DirEntries {
public:
    DirEntries(struct dirent** list, int count) : list_(list), count_(count) {}
    DirEntries(const DirEntries&) = delete;
    DirEntries& operator=(const DirEntries&) = delete;
    ~DirEntries() {
        for (int i = 0; i < count_; ++i) std::free(list_[i]);
        std::free(list_);
    }
    const struct dirent* operator[](int i) const { return list_[i]; }
    int size() const { return count_; }

private:
    struct dirent** list_;
    int count_;
};

// The names in a directory, without "." and ".."; false when it cannot be read.
bool list_dir(const V4l2Syscalls& sys, const char* dir, std::vector<std::string>* names) {
    struct dirent** raw = nullptr;
    const int count = sys.scandir(dir, &raw, nullptr, nullptr);
    if (count < 0) return false;
    const DirEntries entries(raw, count);
    for (int i = 0; i < entries.size(); ++i) {
        std::string name = entries[i]->d_name;
        if (name != "." && name != "..") names->push_back(std::move(name));
    }
    return true;
}

struct Free {
    void operator()(void* p) const { std::free(p); }
};

// The path with every symbolic link resolved; false when it does not resolve.
bool real_path(const V4l2Syscalls& sys, const std::string& path, std::string* resolved) {
    std::unique_ptr<char, Free> p(sys.realpath(path.c_str(), nullptr));
    if (!p) return false;
    *resolved = p.get();
    return true;
}

// Node numbers change from boot to boot and on replug; the udev links name the device itself.
// Every link is resolved once per enumeration, so that many nodes cost linear time: the node a
// link resolves to gets the first link naming it, by folder and then by name.
std::map<std::string, std::string> links_by_node(const V4l2Syscalls& sys) {
    std::map<std::string, std::string> links;
    for (const char* dir : kLinkDirs) {
        std::vector<std::string> names;
        if (!list_dir(sys, dir, &names)) continue;
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string link = std::string(dir) + "/" + name;
            std::string resolved;
            if (real_path(sys, link, &resolved)) links.emplace(resolved, link);
        }
    }
    return links;
}

std::string stable_link(const V4l2Syscalls& sys, const std::map<std::string, std::string>& links,
                        const std::string& node) {
    std::string target;
    if (!real_path(sys, node, &target)) return node;
    auto it = links.find(target);
    return it == links.end() ? node : it->second;
}

class V4l2Stream : public CameraStream {
public:
    explicit V4l2Stream(std::shared_ptr<StreamCore> core) : core_(std::move(core)) {}
    ~V4l2Stream() override { core_->shutdown(); }
    ReadResult read() override { return core_->read(); }
    void flush() override { core_->flush(); }
    void shutdown() override { core_->shutdown(); }

private:
    std::shared_ptr<StreamCore> core_;
};

class V4l2Device : public CameraDevice {
public:
    V4l2Device(const V4l2Syscalls& sys, std::string node, std::string link, std::u16string name,
               std::vector<NativeFormat> formats, std::vector<uint32_t> pixel_formats)
        : sys_(sys),
          node_(std::move(node)),
          link_(std::move(link)),
          name_(std::move(name)),
          formats_(std::move(formats)),
          pixel_formats_(std::move(pixel_formats)) {}

    bool friendly_name(std::u16string* name) override {
        *name = name_;
        return true;
    }
    bool symbolic_link(std::u16string* link) override {
        *link = utf8_to_utf16(link_.data(), link_.size());
        return true;
    }

    // The media source holds the node open for its lifetime, as an activated source holds the camera.
    HRESULT activate() override {
        std::lock_guard<std::mutex> lock(mutex_);
        UniqueFd fd = open_fd(sys_, node_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (!fd.valid()) {
            const int err = errno;
            log_open_failure(node_, err);
            return hresult_from_errno(err, E_FAIL);
        }
        v4l2_capability cap{};
        if (int err = xioctl(sys_, fd.get(), VIDIOC_QUERYCAP, &cap)) return hresult_from_errno(-err, E_FAIL);
        // The node number may now belong to another device.
        if (!is_camera(cap)) return MFCOMPAT_E_DEVICE_NOT_CONNECTED;
        source_ = std::move(fd);
        return S_OK;
    }

    HRESULT create_presentation_descriptor() override { return check_source(); }
    HRESULT create_reader() override { return check_source(); }

    std::vector<NativeFormat> native_formats() override { return formats_; }

    HRESULT open_stream(const RequestedFormat& format, std::unique_ptr<CameraStream>* stream) override {
        stream->reset();
        std::lock_guard<std::mutex> lock(mutex_);
        if (!source_.valid()) return MF_E_SHUTDOWN;
        uint32_t pf = pixel_format_from_subtype(format.subtype, pixel_formats_);
        // A node streams one format at a time: a new current type replaces the reader's old stream.
        for (const std::weak_ptr<StreamCore>& weak : streams_) {
            if (std::shared_ptr<StreamCore> old = weak.lock()) old->shutdown();
        }
        streams_.clear();
        std::shared_ptr<StreamCore> core;
        HRESULT hr = StreamCore::open(sys_, node_, pf, format, &core);
        if (FAILED(hr)) return hr;
        streams_.push_back(core);
        *stream = std::make_unique<V4l2Stream>(std::move(core));
        return S_OK;
    }

    // Reads of the source's streams then fail with MF_E_SHUTDOWN, as on Windows.
    void source_shutdown() override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::weak_ptr<StreamCore>& weak : streams_) {
            if (std::shared_ptr<StreamCore> core = weak.lock()) core->shutdown();
        }
        streams_.clear();
        source_.reset();
    }

private:
    HRESULT check_source() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!source_.valid()) return MF_E_SHUTDOWN;
        v4l2_capability cap{};
        if (int err = xioctl(sys_, source_.get(), VIDIOC_QUERYCAP, &cap)) return hresult_from_errno(-err, E_FAIL);
        return S_OK;
    }

    const V4l2Syscalls sys_;  // a copy: a table swapped later never sees this device's handles
    const std::string node_;
    const std::string link_;
    const std::u16string name_;
    const std::vector<NativeFormat> formats_;
    const std::vector<uint32_t> pixel_formats_;

    std::mutex mutex_;
    UniqueFd source_;
    std::vector<std::weak_ptr<StreamCore>> streams_;
};

}  // namespace
}  // namespace v4l2

std::vector<std::shared_ptr<CameraDevice>> v4l2_enumerate_devices() {
    using namespace v4l2;
    const V4l2Syscalls sys = *v4l2_syscalls();
    std::vector<std::string> names;
    if (!list_dir(sys, kDevDir, &names)) return {};
    std::vector<std::pair<long, std::string>> nodes;
    for (const std::string& name : names) {
        long n = node_number(name);
        if (n >= 0) nodes.emplace_back(n, std::string(kDevDir) + "/" + name);
    }
    std::sort(nodes.begin(), nodes.end());

    const std::map<std::string, std::string> links = links_by_node(sys);
    std::vector<std::shared_ptr<CameraDevice>> devices;
    for (const auto& entry : nodes) {
        const std::string& node = entry.second;
        UniqueFd fd = open_fd(sys, node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (!fd.valid()) {
            log_open_failure(node, errno);
            continue;
        }
        v4l2_capability cap{};
        if (xioctl(sys, fd.get(), VIDIOC_QUERYCAP, &cap) != 0 || !is_camera(cap)) continue;
        const char* card = reinterpret_cast<const char*>(cap.card);
        std::u16string name = utf8_to_utf16(card, strnlen(card, sizeof cap.card));
        std::vector<NativeFormat> formats;
        std::vector<uint32_t> pixel_formats;
        list_native_formats(sys, fd.get(), &formats, &pixel_formats);
        fd.reset();
        devices.push_back(std::make_shared<V4l2Device>(sys, node, stable_link(sys, links, node), std::move(name),
                                                       std::move(formats), std::move(pixel_formats)));
    }
    return devices;
}

std::vector<std::shared_ptr<CameraDevice>> v4l2_devices() { return v4l2_enumerate_devices(); }

}  // namespace mfcompat
