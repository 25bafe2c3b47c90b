// SPDX-License-Identifier: MIT
// Advertises one service through AvahiAdvertiser until standard input closes, so the DNS-SD tests can
// drive the advertiser against a real daemon without the rest of the server.
#include "platform/avahi_advertiser.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: dnssd_advertise_probe NAME TYPE PORT\n";
        return 2;
    }
    {
        vemdo::AvahiAdvertiser advertiser;
        advertiser.advertise(argv[1], argv[2], static_cast<std::uint16_t>(std::atoi(argv[3])));
        std::cout << "advertising" << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
            // "port N" moves the registration, as a listener that becomes ready again would.
            if (line.rfind("port ", 0) == 0) {
                advertiser.advertise(argv[1], argv[2], static_cast<std::uint16_t>(std::atoi(line.c_str() + 5)));
                std::cout << "moved" << std::endl;
            }
        }
    }
    std::cout << "stopped" << std::endl;
    return 0;
}
