#include "udisks/udisks_open.h"

#include "platform/volume.h"

#include <QAbstractEventDispatcher>
#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QList>
#include <QMetaObject>
#include <QThread>
#include <QVariantMap>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <sys/stat.h>

namespace quorin::udisks {
namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

constexpr int kLookupTimeoutMs = 15 * 1000;
// The open waits while polkit asks the user for a password.
constexpr int kAuthorisationTimeoutMs = 10 * 60 * 1000;

std::string Text(const QString& s) {
    return s.toStdString();
}

// Paths whose descriptor came from UDisks2 in this process.
struct OpenedPaths {
    std::mutex mutex;
    std::set<std::string> paths;
};

OpenedPaths& Opened() {
    static OpenedPaths opened;
    return opened;
}

bool WasOpenedThroughUDisks(const std::string& path) {
    std::lock_guard lock(Opened().mutex);
    return Opened().paths.count(path) > 0;
}

void Remember(const std::string& path) {
    std::lock_guard lock(Opened().mutex);
    Opened().paths.insert(path);
}

bool IsBlockDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// A connection of its own for one request, closed before the request returns: Qt's D-Bus
// thread must not be left handling the bus's farewell messages while the process exits.
class Bus {
public:
    Bus() : name_(QStringLiteral("quorin-udisks")), connection_(Connect(name_)) {}
    ~Bus() {
        QThread* thread = connection_->isConnected() ? connection_->interface()->thread() : nullptr;
        connection_.reset();
        QDBusConnection::disconnectFromBus(name_);
        // The connection is closed in the D-Bus thread; wait until it has got that far.
        QAbstractEventDispatcher* dispatcher =
            thread ? QAbstractEventDispatcher::instance(thread) : nullptr;
        if (dispatcher && thread != QThread::currentThread())
            QMetaObject::invokeMethod(
                dispatcher, [] {}, Qt::BlockingQueuedConnection);
    }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    const QDBusConnection& Connection() const { return *connection_; }

private:
    static std::unique_ptr<QDBusConnection> Connect(const QString& name) {
        const QByteArray address = qgetenv("QUORIN_UDISKS_BUS_ADDRESS");
        return std::make_unique<QDBusConnection>(
            address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, name)
                              : QDBusConnection::connectToBus(QString::fromUtf8(address), name));
    }

    QString name_;
    std::unique_ptr<QDBusConnection> connection_;
};

bool Failed(const QDBusMessage& reply) {
    return reply.type() != QDBusMessage::ReplyMessage;
}

std::string ErrorText(const QDBusMessage& reply) {
    return Text(reply.errorMessage()) + " (" + Text(reply.errorName()) + ")";
}

// The canonical form of a path (symlinks such as /dev/disk/by-id/... resolved).
std::string CanonicalPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

// A NUL-terminated byte-string property ("ay") of a block object; empty when it cannot be read.
std::string DeviceProperty(const QDBusConnection& bus, const QString& object, const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, object, kPropertiesInterface,
                                                       QStringLiteral("Get"));
    call << kBlockInterface << name;
    const QDBusMessage reply = bus.call(call, QDBus::Block, kLookupTimeoutMs);
    if (Failed(reply) || reply.arguments().isEmpty()) return {};
    const QByteArray bytes =
        qdbus_cast<QDBusVariant>(reply.arguments().front()).variant().toByteArray();
    return std::string(bytes.constData()); // up to the terminating NUL
}

// The block object whose Device or PreferredDevice is the path.
bool FindBlockObject(const QDBusConnection& bus, const std::string& path, QString& object,
                     std::string& message) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerInterface,
                                                       QStringLiteral("GetBlockDevices"));
    call << QVariantMap();
    const QDBusMessage reply = bus.call(call, QDBus::Block, kLookupTimeoutMs);
    if (Failed(reply)) {
        message = "UDisks2 is not available: " + ErrorText(reply);
        return false;
    }
    const std::string canonical = CanonicalPath(path);
    const auto objects = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(0));
    for (const QDBusObjectPath& candidate : objects) {
        for (const char* property : {"Device", "PreferredDevice"}) {
            const std::string device =
                DeviceProperty(bus, candidate.path(), QString::fromLatin1(property));
            if (!device.empty() && (device == path || device == canonical)) {
                object = candidate.path();
                return true;
            }
        }
    }
    message = "UDisks2 knows no block device " + path + ".";
    return false;
}

QDBusMessage OpenCall(const QString& object, Access access) {
    QDBusMessage call;
    if (access == Access::kRead) {
        call = QDBusMessage::createMethodCall(kService, object, kBlockInterface,
                                              QStringLiteral("OpenForBackup"));
    } else {
        call = QDBusMessage::createMethodCall(kService, object, kBlockInterface,
                                              QStringLiteral("OpenDevice"));
        call << QStringLiteral("rw");
    }
    call << QVariantMap();
    call.setInteractiveAuthorizationAllowed(true); // lets polkit ask the user
    return call;
}

// Calls the open method; on success returns the process's own copy of the descriptor.
int CallOpen(const QDBusConnection& bus, const QString& object, Access access,
             const std::string& path, std::string& message) {
    const QDBusMessage reply =
        bus.call(OpenCall(object, access), QDBus::Block, kAuthorisationTimeoutMs);
    if (Failed(reply)) {
        const bool refused = reply.errorName().startsWith(
            QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized"));
        message = refused ? "Access to " + path + " through UDisks2 was not authorised."
                          : "UDisks2 could not open " + path + ": " + ErrorText(reply);
        return -1;
    }
    const auto descriptor = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().value(0));
    if (!descriptor.isValid()) {
        message = "UDisks2 sent no descriptor for " + path + ".";
        return -1;
    }
    // The descriptor object closes its own copy.
    const int fd = ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) message = "Cannot keep the descriptor of " + path + ": " + SystemErrorText(errno);
    return fd;
}

} // namespace

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

bool OpenThroughUDisks(const std::string& path, Access access, std::string& message) {
    message.clear();
    const Bus connection;
    const QDBusConnection& bus = connection.Connection();
    if (!bus.isConnected()) {
        message = "UDisks2 cannot be asked: no connection to the system bus (" +
                  Text(bus.lastError().message()) + ").";
        return false;
    }
    if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        message = "UDisks2 cannot be asked: the bus does not pass file descriptors.";
        return false;
    }
    QString object;
    if (!FindBlockObject(bus, path, object, message)) return false;
    const int fd = CallOpen(bus, object, access, path, message);
    if (fd < 0) return false;
    RegisterVolumeDescriptor(path, fd, access == Access::kRead);
    Remember(path);
    return true;
}

bool EnsureWritable(const std::string& path, std::string& message) {
    message.clear();
    VolumeHandle handle;
    const bool opened = OpenDrive(path, handle);
    const int error = errno;
    if (opened && !handle.IsReadOnly()) return true;
    handle.Close();
    const bool ask =
        opened ? IsBlockDevice(path) || WasOpenedThroughUDisks(path) : IsPermissionError(error);
    return ask && OpenThroughUDisks(path, Access::kReadWrite, message);
}

} // namespace quorin::udisks
