// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vemdo {

// DNS-SD registration through the Avahi daemon, kept alive for as long as this object lives.
//
// advertise() may be called from any thread and never blocks on the daemon. When the daemon (or the
// system bus) is missing, one warning goes to standard error and the services are registered as soon as
// the daemon appears; after a daemon restart they are registered again. When another host already uses
// a name, the standard alternative ("Name #2", ...) is taken instead.
class AvahiAdvertiser {
public:
    AvahiAdvertiser();
    ~AvahiAdvertiser();
    AvahiAdvertiser(const AvahiAdvertiser&) = delete;
    AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

    // Registers name/type on port in the default domain, without a TXT record. Advertising the same
    // name and type again moves the registration to the new port.
    void advertise(std::string name, std::string type, std::uint16_t port);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vemdo
