// SPDX-License-Identifier: MIT
#include "tools/client_discovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>
#include <net/if.h>

#include <algorithm>
#include <memory>

namespace vemdo::client {

namespace {

struct Browse {
    AvahiSimplePoll* poll = nullptr;
    std::string wantedName;
    std::vector<FoundServer>* found = nullptr;
    int pendingResolvers = 0;
    bool allForNow = false;
    std::string error;

    bool done() const {
        if (!allForNow || pendingResolvers > 0) {
            return false;
        }
        if (wantedName.empty()) {
            return !found->empty();
        }
        return std::any_of(found->begin(), found->end(), [&](const FoundServer& s) { return s.name == wantedName; });
    }

    void quitIfDone() {
        if (done()) {
            avahi_simple_poll_quit(poll);
        }
    }
};

void resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol, AvahiResolverEvent event,
              const char* name, const char*, const char*, const char*, const AvahiAddress* address, uint16_t port,
              AvahiStringList*, AvahiLookupResultFlags, void* userdata) {
    auto* browse = static_cast<Browse*>(userdata);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
        char text[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(text, sizeof text, address);
        FoundServer server;
        server.name = name;
        server.address = text;
        server.port = port;
        server.ipv6 = protocol == AVAHI_PROTO_INET6;
        // A link-local IPv6 address means nothing without the interface it was seen on.
        if (server.ipv6 && server.address.rfind("fe80:", 0) == 0) {
            char ifname[IF_NAMESIZE];
            if (if_indextoname(static_cast<unsigned>(interface), ifname) != nullptr) {
                server.address += std::string("%") + ifname;
            }
        }
        const bool known = std::any_of(browse->found->begin(), browse->found->end(), [&](const FoundServer& s) {
            return s.name == server.name && s.address == server.address && s.port == server.port;
        });
        if (!known) {
            browse->found->push_back(server);
        }
    }
    avahi_service_resolver_free(resolver);
    --browse->pendingResolvers;
    browse->quitIfDone();
}

void browsed(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
             const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* userdata) {
    auto* browse = static_cast<Browse*>(userdata);
    switch (event) {
    case AVAHI_BROWSER_NEW: {
        AvahiClient* client = avahi_service_browser_get_client(browser);
        if (avahi_service_resolver_new(client, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                                       AvahiLookupFlags(0), &resolved, browse) != nullptr) {
            ++browse->pendingResolvers;
        }
        break;
    }
    case AVAHI_BROWSER_ALL_FOR_NOW:
        browse->allForNow = true;
        browse->quitIfDone();
        break;
    case AVAHI_BROWSER_FAILURE:
        browse->error = avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser)));
        avahi_simple_poll_quit(browse->poll);
        break;
    case AVAHI_BROWSER_REMOVE:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
        break;
    }
}

void timedOut(AvahiTimeout*, void* userdata) {
    avahi_simple_poll_quit(static_cast<Browse*>(userdata)->poll);
}

} // namespace

bool discoverServers(const std::string& wantedName, double timeoutSeconds, std::vector<FoundServer>& found,
                     std::string& error) {
    std::unique_ptr<AvahiSimplePoll, decltype(&avahi_simple_poll_free)> poll(avahi_simple_poll_new(),
                                                                             &avahi_simple_poll_free);
    if (!poll) {
        error = "out of memory";
        return false;
    }
    Browse browse;
    browse.poll = poll.get();
    browse.wantedName = wantedName;
    browse.found = &found;

    int code = 0;
    std::unique_ptr<AvahiClient, decltype(&avahi_client_free)> client(
        avahi_client_new(avahi_simple_poll_get(poll.get()), AvahiClientFlags(0), nullptr, nullptr, &code),
        &avahi_client_free);
    if (!client) {
        error = std::string("cannot browse for servers: ") + avahi_strerror(code) +
                " (is avahi-daemon running? Otherwise give --host and --port)";
        return false;
    }
    AvahiServiceBrowser* browser =
        avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, "_vemdo._tcp", nullptr,
                                  AvahiLookupFlags(0), &browsed, &browse);
    if (browser == nullptr) {
        error = std::string("cannot browse for servers: ") + avahi_strerror(avahi_client_errno(client.get()));
        return false;
    }
    const AvahiPoll* api = avahi_simple_poll_get(poll.get());
    timeval deadline{};
    avahi_elapse_time(&deadline, static_cast<unsigned>(timeoutSeconds * 1000), 0);
    api->timeout_new(api, &deadline, &timedOut, &browse);
    avahi_simple_poll_loop(poll.get());
    // Freeing the client frees the browser and any resolver still pending.
    client.reset();
    if (!browse.error.empty()) {
        error = "cannot browse for servers: " + browse.error;
        return false;
    }
    // IPv4 first: it needs no interface and is what phones use most.
    std::stable_sort(found.begin(), found.end(),
                     [](const FoundServer& a, const FoundServer& b) { return !a.ipv6 && b.ipv6; });
    return true;
}

} // namespace vemdo::client
