// SPDX-License-Identifier: MIT
#include "platform/network/avahi_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace vemdo {

namespace {

// When not even the system bus can be reached, Avahi cannot tell us when the daemon appears, so we ask
// again at this interval.
constexpr unsigned retrySeconds = 5;

// A name that collides again and again (a network full of servers) must not spin for ever.
constexpr int maxAlternativeNames = 100;

} // namespace

struct AvahiAdvertiser::Impl {
    struct Service {
        Impl* owner = nullptr;
        std::string name;
        std::string currentName;
        std::string type;
        std::uint16_t port = 0;
        AvahiEntryGroup* group = nullptr;
        int renames = 0;
    };

    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiTimeout* retryTimeout = nullptr;
    // unique_ptr keeps each Service at a fixed address: it is the entry group's callback data.
    std::vector<std::unique_ptr<Service>> services;
    bool warned = false;

    std::mutex startMutex;
    bool started = false;

    // Everything below runs with the poll's lock held: either inside a poll callback or under
    // avahi_threaded_poll_lock().

    void warnOnce(const char* what) {
        if (warned) {
            return;
        }
        warned = true;
        std::fprintf(stderr,
                     "Warning: DNS-SD advertisement unavailable (%s); phones cannot find this computer until the "
                     "Avahi daemon runs. The server keeps running and advertises as soon as it can.\n",
                     what);
        std::fflush(stderr);
    }

    void connect() {
        int error = 0;
        // NO_FAIL: a missing daemon puts the client in the connecting state, and it comes alive by itself
        // when the daemon starts.
        AvahiClient* made =
            avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, &Impl::clientChanged, this, &error);
        if (made == nullptr) {
            warnOnce(avahi_strerror(error));
            scheduleRetry();
            return;
        }
        client = made;
    }

    void scheduleRetry() {
        const AvahiPoll* api = avahi_threaded_poll_get(poll);
        timeval when{};
        avahi_elapse_time(&when, retrySeconds * 1000, 0);
        if (retryTimeout == nullptr) {
            retryTimeout = api->timeout_new(api, &when, &Impl::retryDue, this);
        } else {
            api->timeout_update(retryTimeout, &when);
        }
    }

    static void retryDue(AvahiTimeout* timeout, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        avahi_threaded_poll_get(self->poll)->timeout_update(timeout, nullptr);
        if (self->client == nullptr) {
            self->connect();
        }
    }

    // The client frees its entry groups with itself; forget ours so nothing dangles.
    void dropClient() {
        for (auto& service : services) {
            service->group = nullptr;
        }
        if (client != nullptr) {
            avahi_client_free(client);
            client = nullptr;
        }
    }

    static void clientChanged(AvahiClient* c, AvahiClientState state, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        // Called from inside avahi_client_new before `client` is assigned.
        self->client = c;
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            for (auto& service : self->services) {
                self->registerService(*service);
            }
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name is being (re)negotiated; records are withdrawn and offered again once the
            // daemon is back in the running state.
            for (auto& service : self->services) {
                if (service->group != nullptr) {
                    avahi_entry_group_reset(service->group);
                }
            }
            break;
        case AVAHI_CLIENT_CONNECTING:
            self->warnOnce("the Avahi daemon is not running");
            break;
        case AVAHI_CLIENT_FAILURE: {
            const int error = avahi_client_errno(c);
            self->dropClient();
            if (error == AVAHI_ERR_DISCONNECTED) {
                // The daemon went away (restart, upgrade): wait for the next one.
                self->connect();
            } else {
                self->warnOnce(avahi_strerror(error));
                self->scheduleRetry();
            }
            break;
        }
        }
    }

    static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        auto* service = static_cast<Service*>(userdata);
        service->group = group;
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            service->owner->takeAlternativeName(*service);
            service->owner->registerService(*service);
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            service->owner->warnOnce(avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        }
    }

    void takeAlternativeName(Service& service) {
        char* next = avahi_alternative_service_name(service.currentName.c_str());
        if (next != nullptr) {
            service.currentName = next;
            avahi_free(next);
        }
        ++service.renames;
    }

    void registerService(Service& service) {
        if (client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) {
            return;
        }
        if (service.group == nullptr) {
            service.group = avahi_entry_group_new(client, &Impl::groupChanged, &service);
            if (service.group == nullptr) {
                warnOnce(avahi_strerror(avahi_client_errno(client)));
                return;
            }
        } else {
            avahi_entry_group_reset(service.group);
        }
        for (;;) {
            if (service.renames > maxAlternativeNames) {
                warnOnce("no free service name");
                return;
            }
            const int result = avahi_entry_group_add_service(
                service.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), service.currentName.c_str(),
                service.type.c_str(), nullptr, nullptr, service.port, static_cast<const char*>(nullptr));
            // A name this daemon already holds is refused right here rather than through the group's
            // collision state.
            if (result == AVAHI_ERR_COLLISION) {
                takeAlternativeName(service);
                continue;
            }
            if (result < 0) {
                warnOnce(avahi_strerror(result));
                return;
            }
            break;
        }
        const int result = avahi_entry_group_commit(service.group);
        if (result < 0) {
            warnOnce(avahi_strerror(result));
        }
    }
};

AvahiAdvertiser::AvahiAdvertiser() : m_impl(std::make_unique<Impl>()) {}

AvahiAdvertiser::~AvahiAdvertiser() {
    if (m_impl->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_stop(m_impl->poll);
    m_impl->dropClient();
    avahi_threaded_poll_free(m_impl->poll);
}

void AvahiAdvertiser::advertise(std::string name, std::string type, std::uint16_t port) {
    {
        // The poll thread starts with the first registration, so a server that never advertises (tests,
        // a failed listener) neither talks to D-Bus nor warns.
        std::lock_guard lock(m_impl->startMutex);
        if (!m_impl->started) {
            m_impl->poll = avahi_threaded_poll_new();
            if (m_impl->poll == nullptr) {
                std::fprintf(stderr, "Warning: DNS-SD advertisement unavailable (out of memory)\n");
                return;
            }
            m_impl->started = true;
            avahi_threaded_poll_lock(m_impl->poll);
            m_impl->connect();
            avahi_threaded_poll_unlock(m_impl->poll);
            avahi_threaded_poll_start(m_impl->poll);
        }
    }
    avahi_threaded_poll_lock(m_impl->poll);
    Impl::Service* service = nullptr;
    for (auto& existing : m_impl->services) {
        if (existing->name == name && existing->type == type) {
            service = existing.get();
        }
    }
    if (service == nullptr) {
        auto added = std::make_unique<Impl::Service>();
        added->owner = m_impl.get();
        added->name = name;
        added->currentName = std::move(name);
        added->type = std::move(type);
        service = added.get();
        m_impl->services.push_back(std::move(added));
    }
    service->port = port;
    m_impl->registerService(*service);
    avahi_threaded_poll_unlock(m_impl->poll);
}

} // namespace vemdo
