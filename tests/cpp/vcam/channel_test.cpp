// The shared-memory channel as other processes see it: through the C reader
// and through the raw documented layout.
#include "vcam_fixture.h"

#include "channel.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <time.h>

namespace {

struct ReaderCloser {
    void operator()(trelvohdcam_reader* r) const { trelvohdcam_reader_close(r); }
};
using Reader = std::unique_ptr<trelvohdcam_reader, ReaderCloser>;

uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// The channel's first page mapped for writing, as another process would map it.
class WritableHeader {
public:
    explicit WritableHeader(const std::string& channel) {
        const int fd = shm_open(channel.c_str(), O_RDWR, 0);
        if (fd < 0) return;
        void* m = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (m != MAP_FAILED) header_ = static_cast<trelvohdcam_channel_header*>(m);
    }
    WritableHeader(const WritableHeader&) = delete;
    WritableHeader& operator=(const WritableHeader&) = delete;
    ~WritableHeader() {
        if (header_) munmap(header_, kSize);
    }
    trelvohdcam_channel_header* get() const { return header_; }

private:
    static constexpr size_t kSize = 4096;
    trelvohdcam_channel_header* header_ = nullptr;
};

}  // namespace

using ChannelTest = VcamTest;

TEST_F(ChannelTest, ReaderGetsLayoutNewestPictureAndTimesOutWithoutANewOne) {
    void* cam = scCreateCamera(64, 48, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    ASSERT_NE(cam, nullptr);
    Reader r(trelvohdcam_reader_open(nullptr));
    ASSERT_TRUE(r);
    std::vector<unsigned char> buf(64 * 48 * 3 + 16, 0);
    trelvohdcam_picture_info info{};
    EXPECT_EQ(trelvohdcam_reader_wait(r.get(), 0, 0, buf.data(), buf.size(), &info),
              TRELVOHDCAM_READ_TIMEOUT)
        << "a camera without pictures has nothing to read";
    EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_LIVE);

    const uint64_t before = now_ns();
    for (unsigned i = 1; i <= 3; ++i) {
        auto p = pattern(64 * 48 * 3, i);
        ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    }
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 1000, buf.data(), buf.size(), &info),
              TRELVOHDCAM_READ_OK);
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.height, 48);
    EXPECT_EQ(info.type, TRELVOHDCAM_TYPE_RGB24);
    EXPECT_FLOAT_EQ(info.fps, 30.0f);
    EXPECT_EQ(info.frame_size, 64u * 48 * 3);
    EXPECT_EQ(info.frame_number, 3u);
    EXPECT_EQ(info.state, TRELVOHDCAM_STATE_LIVE);
    EXPECT_EQ(info.sequence % 2, 0u);
    EXPECT_GE(info.timestamp_ns, before);
    EXPECT_LE(info.timestamp_ns, now_ns());
    auto newest = pattern(64 * 48 * 3, 3);
    EXPECT_TRUE(std::equal(newest.begin(), newest.end(), buf.begin()));
    EXPECT_EQ(buf[newest.size()], 0) << "nothing past the picture is written";

    const auto t0 = std::chrono::steady_clock::now();
    trelvohdcam_picture_info none{};
    EXPECT_EQ(trelvohdcam_reader_wait(r.get(), info.sequence, 60, buf.data(), buf.size(), &none),
              TRELVOHDCAM_READ_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(55));

    auto p4 = pattern(64 * 48 * 3, 4);
    ASSERT_EQ(scSendFrame(cam, p4.data()), 0);
    trelvohdcam_picture_info next{};
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), info.sequence, 1000, buf.data(), buf.size(), &next),
              TRELVOHDCAM_READ_OK);
    EXPECT_GT(next.sequence, info.sequence);
    EXPECT_EQ(next.frame_number, 4u);
    EXPECT_TRUE(std::equal(p4.begin(), p4.end(), buf.begin()));
    scDeleteCamera(cam);
}

TEST_F(ChannelTest, ReaderRejectsBadArgumentsAndReportsTheSizeItNeeds) {
    EXPECT_EQ(trelvohdcam_reader_open("/two/parts"), nullptr);
    EXPECT_EQ(trelvohdcam_reader_open("/"), nullptr);
    EXPECT_EQ(trelvohdcam_reader_open(std::string(300, 'x').c_str()), nullptr);
    EXPECT_EQ(trelvohdcam_reader_wait(nullptr, 0, 0, nullptr, 0, nullptr), TRELVOHDCAM_READ_ERROR);
    EXPECT_EQ(trelvohdcam_reader_state(nullptr), -1);
    trelvohdcam_reader_close(nullptr);

    void* cam = scCreateCamera(10, 10, 25.0f, TRELVOHDCAM_TYPE_YUY2);
    auto p = filled(10 * 10 * 2, 0x42);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    // A name without the leading slash means the same channel.
    Reader r(trelvohdcam_reader_open(channel_.c_str() + 1));
    ASSERT_TRUE(r);
    EXPECT_EQ(trelvohdcam_reader_wait(r.get(), 0, -1, nullptr, 0, nullptr), TRELVOHDCAM_READ_ERROR);
    std::vector<unsigned char> small(199, 0x11);
    trelvohdcam_picture_info info{};
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 500, small.data(), small.size(), &info),
              TRELVOHDCAM_READ_TOO_SMALL);
    EXPECT_EQ(info.frame_size, 200u);
    EXPECT_EQ(small[0], 0x11) << "a short buffer is left alone";
    std::vector<unsigned char> fits(200, 0);
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 500, fits.data(), fits.size(), &info),
              TRELVOHDCAM_READ_OK);
    EXPECT_EQ(fits, p);
    EXPECT_EQ(info.type, TRELVOHDCAM_TYPE_YUY2);
    scDeleteCamera(cam);
}

TEST_F(ChannelTest, RawLayoutMatchesTheDocumentedOffsets) {
    void* cam = scCreateCamera(6, 2, 15.0f, TRELVOHDCAM_TYPE_RGB24);
    auto p = pattern(6 * 2 * 3, 77);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);

    int fd = shm_open(channel_.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    void* m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(m, MAP_FAILED);
    const auto* b = static_cast<const unsigned char*>(m);
    auto u32 = [&](size_t off) { uint32_t v; std::memcpy(&v, b + off, 4); return v; };
    auto u64 = [&](size_t off) { uint64_t v; std::memcpy(&v, b + off, 8); return v; };
    EXPECT_EQ(std::memcmp(b, "TVHC", 4), 0);
    EXPECT_EQ(u32(4), 1u);
    EXPECT_EQ(u32(8), 128u);
    EXPECT_EQ(u32(12), TRELVOHDCAM_STATE_LIVE);
    EXPECT_EQ(u64(16), 1u) << "first camera on a new channel";
    EXPECT_EQ(u64(24) % 2, 0u);
    EXPECT_EQ(u32(32), 6u);
    EXPECT_EQ(u32(36), 2u);
    EXPECT_EQ(u32(40), 0u);
    float fps;
    std::memcpy(&fps, b + 44, 4);
    EXPECT_FLOAT_EQ(fps, 15.0f);
    EXPECT_EQ(u64(48), 36u);
    EXPECT_EQ(u64(56), 2u);
    EXPECT_EQ(u64(72) >> 32, static_cast<uint64_t>(getpid()));
    EXPECT_EQ(std::memcmp(b + 128, p.data(), p.size()), 0);

    scDeleteCamera(cam);
    EXPECT_EQ(u32(12), TRELVOHDCAM_STATE_CLOSED);
    EXPECT_EQ(std::memcmp(b + 128, p.data(), p.size()), 0) << "the last picture stays";
    munmap(m, static_cast<size_t>(st.st_size));
}

TEST_F(ChannelTest, ReaderStartedBeforeTheCameraWaitsForIt) {
    Reader r(trelvohdcam_reader_open(nullptr));
    ASSERT_TRUE(r);
    EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_NEW);
    std::vector<unsigned char> buf(32 * 32 * 2);
    trelvohdcam_picture_info info{};
    EXPECT_EQ(trelvohdcam_reader_wait(r.get(), 0, 20, buf.data(), buf.size(), &info),
              TRELVOHDCAM_READ_TIMEOUT);

    auto p = pattern(32 * 32 * 2, 3);
    std::thread camera([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        void* cam = scCreateCamera(32, 32, 60.0f, TRELVOHDCAM_TYPE_YUY2);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        scSendFrame(cam, p.data());
    });
    const int rc = trelvohdcam_reader_wait(r.get(), 0, 3000, buf.data(), buf.size(), &info);
    camera.join();
    ASSERT_EQ(rc, TRELVOHDCAM_READ_OK);
    EXPECT_EQ(info.width, 32);
    EXPECT_EQ(info.type, TRELVOHDCAM_TYPE_YUY2);
    EXPECT_EQ(info.frame_number, 1u);
    EXPECT_EQ(buf, p);
}

TEST_F(ChannelTest, DeletionMarksTheChannelClosedAndALaterCameraReopensIt) {
    void* cam = scCreateCamera(16, 8, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    auto p = filled(16 * 8 * 3, 5);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    Reader r(trelvohdcam_reader_open(nullptr));
    std::vector<unsigned char> buf(1 << 20);
    trelvohdcam_picture_info info{};
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 500, buf.data(), buf.size(), &info), TRELVOHDCAM_READ_OK);
    EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_LIVE);

    scDeleteCamera(cam);
    EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_CLOSED);
    trelvohdcam_picture_info last{};
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 0, buf.data(), buf.size(), &last), TRELVOHDCAM_READ_OK);
    EXPECT_EQ(last.state, TRELVOHDCAM_STATE_CLOSED);
    EXPECT_EQ(last.sequence, info.sequence) << "closing is not a new picture";
    EXPECT_EQ(trelvohdcam_reader_wait(r.get(), info.sequence, 30, buf.data(), buf.size(), &last),
              TRELVOHDCAM_READ_TIMEOUT);

    void* again = scCreateCamera(16, 8, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_LIVE);
    auto q = filled(16 * 8 * 3, 6);
    ASSERT_EQ(scSendFrame(again, q.data()), 0);
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), info.sequence, 500, buf.data(), buf.size(), &last),
              TRELVOHDCAM_READ_OK);
    EXPECT_EQ(last.generation, info.generation + 1);
    EXPECT_EQ(last.frame_number, 1u);
    EXPECT_EQ(buf[0], 6);
    scDeleteCamera(again);
}

TEST_F(ChannelTest, SequentialCamerasOfOtherSizesReplaceTheLayout) {
    Reader r(trelvohdcam_reader_open(nullptr));
    std::vector<unsigned char> buf(640 * 480 * 3);
    trelvohdcam_picture_info info{};
    uint64_t after = 0, generation = 0;
    struct Shape { int w, h, type; size_t bytes; };
    // Small, then larger (the object grows under the reader), then small again.
    const int rgb = TRELVOHDCAM_TYPE_RGB24, yuy2 = TRELVOHDCAM_TYPE_YUY2;
    const Shape shapes[] = {{32, 16, rgb, 32 * 16 * 3}, {640, 480, yuy2, 640 * 480 * 2},
                            {640, 480, rgb, 640 * 480 * 3}, {8, 8, yuy2, 8 * 8 * 2}};
    unsigned seed = 0;
    for (const Shape& s : shapes) {
        void* cam = scCreateCamera(s.w, s.h, 30.0f, s.type);
        ASSERT_NE(cam, nullptr);
        auto p = pattern(s.bytes, ++seed);
        ASSERT_EQ(scSendFrame(cam, p.data()), 0);
        ASSERT_EQ(trelvohdcam_reader_wait(r.get(), after, 1000, buf.data(), buf.size(), &info),
                  TRELVOHDCAM_READ_OK);
        EXPECT_EQ(info.width, s.w);
        EXPECT_EQ(info.height, s.h);
        EXPECT_EQ(info.type, s.type);
        EXPECT_EQ(info.frame_size, s.bytes);
        EXPECT_EQ(info.frame_number, 1u);
        EXPECT_GT(info.generation, generation);
        EXPECT_TRUE(std::equal(p.begin(), p.end(), buf.begin())) << s.w << "x" << s.h;
        after = info.sequence;
        generation = info.generation;
        scDeleteCamera(cam);
    }
}

TEST_F(ChannelTest, ANewCameraTakesTheChannelOverFromOneStillLive) {
    void* first = scCreateCamera(4, 4, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    void* second = scCreateCamera(8, 2, 30.0f, TRELVOHDCAM_TYPE_YUY2);
    Reader r(trelvohdcam_reader_open(nullptr));
    auto a = filled(4 * 4 * 3, 1);
    auto b = filled(8 * 2 * 2, 2);
    EXPECT_EQ(scSendFrame(second, b.data()), 0);
    EXPECT_EQ(scSendFrame(first, a.data()), 0) << "the old camera still takes pictures";
    std::vector<unsigned char> buf(256);
    trelvohdcam_picture_info info{};
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 500, buf.data(), buf.size(), &info), TRELVOHDCAM_READ_OK);
    EXPECT_EQ(info.width, 8);
    EXPECT_EQ(info.frame_number, 1u) << "only the new camera writes";
    EXPECT_EQ(buf[0], 2);
    scDeleteCamera(first);
    EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_LIVE)
        << "deleting the old camera does not close the new one's channel";
    scDeleteCamera(second);
    EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_CLOSED);
}

TEST_F(ChannelTest, APictureIsNotReadWhileTheSequenceSaysAWriteIsUnderWay) {
    void* cam = scCreateCamera(4, 4, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    auto p = filled(4 * 4 * 3, 8);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    const WritableHeader mapped(channel_);
    auto* h = mapped.get();
    ASSERT_NE(h, nullptr);
    const uint64_t even = __atomic_load_n(&h->sequence, __ATOMIC_ACQUIRE);
    __atomic_store_n(&h->sequence, even + 1, __ATOMIC_RELEASE);  // as a writer mid-picture

    Reader r(trelvohdcam_reader_open(nullptr));
    std::vector<unsigned char> buf(64);
    trelvohdcam_picture_info info{};
    EXPECT_EQ(trelvohdcam_reader_wait(r.get(), 0, 20, buf.data(), buf.size(), &info),
              TRELVOHDCAM_READ_TIMEOUT);
    __atomic_store_n(&h->sequence, even + 2, __ATOMIC_RELEASE);
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 20, buf.data(), buf.size(), &info),
              TRELVOHDCAM_READ_OK);
    EXPECT_EQ(info.sequence, even + 2);
    EXPECT_EQ(buf[0], 8);
    scDeleteCamera(cam);
}

TEST_F(ChannelTest, AWriterTakesASequenceLeftOddOverAfterTheGiveUpTime) {
    void* cam = scCreateCamera(4, 4, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    ASSERT_EQ(scSendFrame(cam, filled(4 * 4 * 3, 1).data()), 0);
    const WritableHeader mapped(channel_);
    auto* h = mapped.get();
    ASSERT_NE(h, nullptr);
    const uint64_t even = __atomic_load_n(&h->sequence, __ATOMIC_ACQUIRE);
    __atomic_store_n(&h->sequence, even + 1, __ATOMIC_RELEASE);  // a writer that died mid-picture

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(scSendFrame(cam, filled(4 * 4 * 3, 2).data()), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, trelvohdcam::kWriterGiveUp);
    EXPECT_EQ(__atomic_load_n(&h->sequence, __ATOMIC_ACQUIRE), even + 2) << "released as the next even value";

    Reader r(trelvohdcam_reader_open(nullptr));
    std::vector<unsigned char> buf(64);
    trelvohdcam_picture_info info{};
    ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 500, buf.data(), buf.size(), &info), TRELVOHDCAM_READ_OK);
    EXPECT_EQ(info.frame_number, 2u);
    EXPECT_EQ(buf[0], 2);
    scDeleteCamera(cam);
}

// An invalid name leaves the camera without a channel: it still takes pictures (presentation is
// best effort), but no name is reported and no reader opens on it.
TEST_F(ChannelTest, AnInvalidChannelNameGivesACameraWithoutAChannel) {
    const std::string too_long(NAME_MAX + 1, 'x');
    // Users of one machine never share the default name.
    const std::string per_user = TRELVOHDCAM_CHANNEL_PREFIX + std::to_string(::geteuid());
    const struct {
        const char* variable;
        const char* name;  // what trelvohdcam_channel_name gives; nullptr: -1
    } cases[] = {
        {"/two/parts", nullptr},
        {"two/parts", nullptr},
        {"/", nullptr},
        {too_long.c_str(), nullptr},
        {"no-leading-slash", "/no-leading-slash"},
        {"", per_user.c_str()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        ::setenv(TRELVOHDCAM_CHANNEL_ENV, c.variable, 1);
        char name[NAME_MAX + 2] = {};
        const int length = trelvohdcam_channel_name(name, sizeof name);
        Reader r(trelvohdcam_reader_open(nullptr));
        if (c.name) {
            EXPECT_EQ(std::string(name), c.name);
            EXPECT_EQ(length, static_cast<int>(std::strlen(c.name)));
            EXPECT_TRUE(r);
            continue;  // valid names are read and written by every other test
        }
        EXPECT_EQ(length, -1);
        EXPECT_FALSE(r);
        trelvohdcam_record_reset();
        void* cam = scCreateCamera(4, 2, 30.0f, TRELVOHDCAM_TYPE_RGB24);
        ASSERT_NE(cam, nullptr);
        EXPECT_EQ(scSendFrame(cam, filled(4 * 2 * 3, 7).data()), 0);
        trelvohdcam_record_counts counts{};
        trelvohdcam_record_get(&counts);
        EXPECT_EQ(counts.frames_sent, 1u);
        scDeleteCamera(cam);
    }
}

TEST_F(ChannelTest, PicturesReadWhileAWriterHammersAreNeverTorn) {
    constexpr int kW = 128, kH = 64;
    constexpr size_t kBytes = kW * kH * 3;
    void* cam = scCreateCamera(kW, kH, 1000.0f, TRELVOHDCAM_TYPE_RGB24);
    ASSERT_NE(cam, nullptr);
    std::atomic<unsigned> reads{0};
    std::atomic<uint64_t> written{0};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<unsigned char> p(kBytes);
        const auto stop = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        // Keep writing until the reader has read many pictures mid-stream.
        for (uint64_t k = 1; reads < 200 && std::chrono::steady_clock::now() < stop; ++k) {
            // The byte value ties the picture to its frame number.
            std::fill(p.begin(), p.end(), static_cast<unsigned char>((k * 7u) & 0xff));
            scSendFrame(cam, p.data());
            written = k;
            // Bursts of back-to-back writes overlap the reader's copies; the
            // gaps between them let a correct reader finish one.
            if (k % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        done = true;
    });
    Reader r(trelvohdcam_reader_open(nullptr));
    std::vector<unsigned char> buf(kBytes);
    uint64_t after = 0, last_frame = 0;
    unsigned bad = 0;
    while (!done || last_frame < written) {
        trelvohdcam_picture_info info{};
        int rc = trelvohdcam_reader_wait(r.get(), after, 2000, buf.data(), buf.size(), &info);
        if (rc != TRELVOHDCAM_READ_OK) break;
        ++reads;
        const unsigned char want = static_cast<unsigned char>((info.frame_number * 7u) & 0xff);
        for (unsigned char c : buf)
            if (c != want) {
                ++bad;
                break;
            }
        EXPECT_GT(info.frame_number, last_frame);
        EXPECT_GT(info.sequence, after);
        after = info.sequence;
        last_frame = info.frame_number;
    }
    writer.join();
    EXPECT_EQ(last_frame, written.load()) << "the reader ends on the newest picture";
    EXPECT_EQ(bad, 0u) << "of " << reads << " reads";
    EXPECT_GE(reads.load(), 20u);
    EXPECT_GT(written.load(), reads.load()) << "the reader saw pictures mid-stream, not each one";
    scDeleteCamera(cam);
}

// ---- a private channel that cannot fault ----------------------------------------------------

namespace {

// Reports every object as another user's, as fstat would for a name squatted by that user.
int fstat_of_another_user(int fd, struct stat* st) {
    const int rc = ::fstat(fd, st);
    if (rc == 0) st->st_uid = ::geteuid() + 1;
    return rc;
}

int fallocate_without_room(int, off_t, off_t) { return ENOSPC; }

std::string shm_file(const std::string& channel) { return "/dev/shm" + channel; }

struct stat stat_of(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) st.st_mode = 0;
    return st;
}

}  // namespace

// Whatever was planted under the name, the camera refuses it (and says so) instead of publishing
// into an object another user may read or write, and leaves it as it was; a reader never attaches
// to it nor blocks on it.
TEST_F(ChannelTest, AnObjectUnderTheNameThatIsNotTheUsersPrivateFileIsRefused) {
    enum Plant { Mode0644, Mode0666, Fifo, Folder, Link, OtherUser };
    const struct {
        const char* what;
        Plant plant;
    } cases[] = {
        {"regular file, mode 0644", Mode0644}, {"regular file, mode 0666", Mode0666},
        {"FIFO", Fifo},                          {"folder", Folder},
        {"link to a private file", Link},        {"another user's private file", OtherUser},
    };
    const std::string target = channel_ + "_target";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = shm_file(channel_);
        switch (c.plant) {
            case Mode0644:
            case Mode0666:
            case OtherUser: {
                const int fd = ::shm_open(channel_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(::fchmod(fd, c.plant == Mode0644 ? 0644 : c.plant == Mode0666 ? 0666 : 0600), 0);
                ::close(fd);
                break;
            }
            case Fifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); break;
            case Folder: ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); break;
            case Link: {
                const int fd = ::shm_open(target.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
                ASSERT_GE(fd, 0);
                ::close(fd);
                ASSERT_EQ(::symlink(shm_file(target).c_str(), path.c_str()), 0);
                break;
            }
        }
        if (c.plant == OtherUser) {
            trelvohdcam_sys table{};
            table.fstat = fstat_of_another_user;
            trelvohdcam_sys_set(&table);
        }
        const struct stat before = stat_of(path);
        trelvohdcam_record_reset();
        EXPECT_EQ(scCreateCamera(64, 48, 30.0f, TRELVOHDCAM_TYPE_RGB24), nullptr);
        trelvohdcam_record_counts counts{};
        trelvohdcam_record_get(&counts);
        EXPECT_EQ(counts.create_failures, 1u);
        const struct stat after = stat_of(path);
        EXPECT_EQ(after.st_mode, before.st_mode) << "left as it was";
        EXPECT_EQ(after.st_size, before.st_size) << "left as it was";
        EXPECT_EQ(stat_of(shm_file(target)).st_size, 0) << "nothing written through the link";

        Reader r(trelvohdcam_reader_open(nullptr));
        ASSERT_TRUE(r);
        std::vector<unsigned char> buf(64 * 48 * 3);
        trelvohdcam_picture_info info{};
        EXPECT_EQ(trelvohdcam_reader_wait(r.get(), 0, 0, buf.data(), buf.size(), &info), TRELVOHDCAM_READ_TIMEOUT);
        EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_NEW);

        trelvohdcam_sys_set(nullptr);
        if (c.plant == Folder) ::rmdir(path.c_str());
        else ::unlink(path.c_str());
        ::shm_unlink(target.c_str());
    }
}

// Another user's channel is never read, even one with a good picture in it.
TEST_F(ChannelTest, AReaderIgnoresAChannelOfAnotherUser) {
    void* cam = scCreateCamera(8, 2, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    ASSERT_NE(cam, nullptr);
    ASSERT_EQ(scSendFrame(cam, filled(8 * 2 * 3, 9).data()), 0);
    trelvohdcam_sys table{};
    table.fstat = fstat_of_another_user;
    trelvohdcam_sys_set(&table);
    Reader r(trelvohdcam_reader_open(nullptr));
    std::vector<unsigned char> buf(8 * 2 * 3);
    trelvohdcam_picture_info info{};
    EXPECT_EQ(trelvohdcam_reader_wait(r.get(), 0, 0, buf.data(), buf.size(), &info), TRELVOHDCAM_READ_TIMEOUT);
    EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_NEW);
    scDeleteCamera(cam);
}

// A new channel is the user's alone whatever the umask, and its memory is reserved: a sparse
// object would fault at the first picture the file system has no room for.
TEST_F(ChannelTest, ANewChannelIsPrivateAndItsMemoryReserved) {
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        const mode_t saved = ::umask(mask);
        void* cam = scCreateCamera(321, 241, 30.0f, TRELVOHDCAM_TYPE_RGB24);
        ::umask(saved);
        ASSERT_NE(cam, nullptr);
        const struct stat st = stat_of(shm_file(channel_));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_GE(static_cast<uint64_t>(st.st_blocks) * 512, 128u + 321u * 241u * 3u);
        scDeleteCamera(cam);
        // The next camera reuses the closed channel: it is the user's private file.
        cam = scCreateCamera(2, 2, 30.0f, TRELVOHDCAM_TYPE_RGB24);
        EXPECT_NE(cam, nullptr);
        scDeleteCamera(cam);
        ::shm_unlink(channel_.c_str());
    }
}

// No room in shared memory: the camera fails with one line instead of a SIGBUS at its first
// picture, and leaves no empty object behind.
TEST_F(ChannelTest, NoRoomForThePictureFailsTheCamera) {
    trelvohdcam_sys table{};
    table.posix_fallocate = fallocate_without_room;
    trelvohdcam_sys_set(&table);
    testing::internal::CaptureStderr();
    EXPECT_EQ(scCreateCamera(1920, 1080, 30.0f, TRELVOHDCAM_TYPE_RGB24), nullptr);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(shm_file(channel_) + " has no room"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(stat_of(shm_file(channel_)).st_mode, 0u) << "no object left behind";
}

// The channel truncated under a live camera and a reader: both carry on, the camera taking
// pictures and the reader seeing the channel closed, neither touching a page past the end.
TEST_F(ChannelTest, AChannelThatShrinksIsClosedForWriterAndReader) {
    constexpr int kW = 64, kH = 48;
    const auto p = pattern(kW * kH * 3, 5);
    for (const off_t size : {off_t{0}, off_t{4096}}) {
        SCOPED_TRACE(size);
        void* cam = scCreateCamera(kW, kH, 30.0f, TRELVOHDCAM_TYPE_RGB24);
        ASSERT_NE(cam, nullptr);
        ASSERT_EQ(scSendFrame(cam, p.data()), 0);
        Reader r(trelvohdcam_reader_open(nullptr));
        std::vector<unsigned char> buf(p.size());
        trelvohdcam_picture_info info{};
        ASSERT_EQ(trelvohdcam_reader_wait(r.get(), 0, 1000, buf.data(), buf.size(), &info), TRELVOHDCAM_READ_OK);

        const int fd = ::shm_open(channel_.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
        EXPECT_EQ(scSendFrame(cam, p.data()), 0) << "the camera still takes the picture";
        EXPECT_EQ(trelvohdcam_reader_wait(r.get(), 0, 0, buf.data(), buf.size(), &info), TRELVOHDCAM_READ_TIMEOUT);
        EXPECT_EQ(trelvohdcam_reader_state(r.get()), (int)TRELVOHDCAM_STATE_CLOSED);
        scDeleteCamera(cam);
        ::shm_unlink(channel_.c_str());
    }
}

namespace {

// A system call that runs out of memory the C++ way, as an allocation on the library's path would.
std::atomic<bool> g_fstat_throws{false};
int fstat_throwing(int fd, struct stat* st) {
    if (g_fstat_throws) throw std::bad_alloc();
    return ::fstat(fd, st);
}

}  // namespace

// No C++ exception leaves the three calls into the C caller: each returns its failure result.
TEST_F(ChannelTest, AnExceptionInsideACallIsItsFailureResult) {
    trelvohdcam_sys table{};
    table.fstat = fstat_throwing;
    trelvohdcam_sys_set(&table);
    const auto p = filled(4 * 2 * 3, 1);
    enum Call { Create, Send, Delete };
    for (const Call call : {Create, Send, Delete}) {
        SCOPED_TRACE(call);
        trelvohdcam_record_reset();
        g_fstat_throws = call == Create;
        void* cam = scCreateCamera(4, 2, 30.0f, TRELVOHDCAM_TYPE_RGB24);
        g_fstat_throws = true;
        trelvohdcam_record_counts counts{};
        if (call == Create) {
            EXPECT_EQ(cam, nullptr);
        } else if (call == Send) {
            ASSERT_NE(cam, nullptr);
            EXPECT_EQ(scSendFrame(cam, p.data()), -1);
        } else {
            ASSERT_NE(cam, nullptr);
            scDeleteCamera(cam);
            trelvohdcam_record_get(&counts);
            EXPECT_EQ(counts.delete_failures, 1u);
        }
        g_fstat_throws = false;
        if (cam) scDeleteCamera(cam);
        ::shm_unlink(channel_.c_str());
    }
}
