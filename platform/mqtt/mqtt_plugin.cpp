#include "platform/mqtt/mqtt_plugin.hpp"

#include <dlfcn.h>

#include <QSocketNotifier>
#include <filesystem>
#include <limits>

#include "platform/qt/event_waiter.hpp"

namespace quillon {

std::string mqtt_plugin_path(const std::string& program_dir) {
    return (std::filesystem::path(program_dir) / "../lib/quillon/quillon-mqtt.so")
        .lexically_normal()
        .string();
}

MqttPlugin::MqttPlugin(EventWaiter& waiter, std::string path)
    : waiter_(waiter), path_(std::move(path)) {
    waiter_.add_pending_check([this] { return link_ && link_->has_buffered_input(); });
}

// The plugin stays loaded once it is.
MqttPlugin::~MqttPlugin() {
    read_notifier_.reset();
    write_notifier_.reset();
}

std::string MqttPlugin::open(const BrokerOpening& opening) {
    if (!link_) {
        void* plugin = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        const auto make = plugin != nullptr ? reinterpret_cast<SocketBrokerLink* (*)()>(
                                                  ::dlsym(plugin, "quillon_make_mqtt_link"))
                                            : nullptr;
        if (make == nullptr) {
            const char* error = ::dlerror();
            std::string reason = error != nullptr ? error : "no entry";
            if (reason.rfind(path_ + ": ", 0) == 0) reason.erase(0, path_.size() + 2);
            return "its plugin " + path_ + " can't be loaded: " + reason;
        }
        link_.reset(make());
    }
    std::string problem = link_->open(opening);
    watch_socket();
    return problem;
}

void MqttPlugin::watch_socket() {
    const int fd = link_ ? link_->socket_fd() : -1;
    if (fd != watched_fd_) {
        read_notifier_.reset();
        write_notifier_.reset();
        watched_fd_ = fd;
        if (fd >= 0) {
            read_notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            QObject::connect(read_notifier_.get(), &QSocketNotifier::activated, [this] {
                socket_ready_ = true;
                waiter_.wake();
            });
            write_notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            QObject::connect(write_notifier_.get(), &QSocketNotifier::activated, [this] {
                socket_ready_ = true;
                waiter_.wake();
            });
        }
    }
    // Waking for a socket that can take more only while something waits to be written.
    if (write_notifier_) write_notifier_->setEnabled(link_->wants_write());
}

void MqttPlugin::service(std::int64_t now_ms) {
    if (!link_) return;
    if (!socket_ready_ && now_ms < link_->next_due_ms() && !link_->has_buffered_input()) return;
    socket_ready_ = false;
    link_->service(now_ms);
    watch_socket();
}

BrokerEvent MqttPlugin::poll() {
    return link_ ? link_->poll() : BrokerEvent{};
}

bool MqttPlugin::publish(const BrokerMessage& message) {
    if (!link_) return false;
    const bool taken = link_->publish(message);
    watch_socket();
    return taken;
}

std::int64_t MqttPlugin::next_due_ms() const {
    return link_ ? link_->next_due_ms() : std::numeric_limits<std::int64_t>::max();
}

void MqttPlugin::close(const BrokerMessage& farewell) {
    if (!link_) return;
    link_->close(farewell);
    watch_socket();
}

}  // namespace quillon
