// Linux: the driver links the host's capture library, so its functions are simply taken here.
#include "pcap_api.h"

#include <pcap/pcap.h>

namespace wp {

// The declarations of pcap_api.h mirror the library's; casting each function keeps this file the
// only place that knows both.
template <class To, class From>
To As(From f) {
    return reinterpret_cast<To>(f);
}

const PcapApi* LoadPcap(std::string&) {
    static const PcapApi api = {
        As<decltype(PcapApi::findalldevs)>(&pcap_findalldevs),
        As<decltype(PcapApi::freealldevs)>(&pcap_freealldevs),
        As<decltype(PcapApi::create)>(&pcap_create),
        As<decltype(PcapApi::set_snaplen)>(&pcap_set_snaplen),
        As<decltype(PcapApi::set_promisc)>(&pcap_set_promisc),
        As<decltype(PcapApi::set_timeout)>(&pcap_set_timeout),
        As<decltype(PcapApi::set_buffer_size)>(&pcap_set_buffer_size),
        As<decltype(PcapApi::set_immediate_mode)>(&pcap_set_immediate_mode),
        As<decltype(PcapApi::activate)>(&pcap_activate),
        As<decltype(PcapApi::setfilter)>(&pcap_setfilter),
        As<decltype(PcapApi::setnonblock)>(&pcap_setnonblock),
        As<decltype(PcapApi::dispatch)>(&pcap_dispatch),
        As<decltype(PcapApi::next_ex)>(&pcap_next_ex),
        As<decltype(PcapApi::sendpacket)>(&pcap_sendpacket),
        As<decltype(PcapApi::geterr)>(&pcap_geterr),
        As<decltype(PcapApi::statustostr)>(&pcap_statustostr),
        As<decltype(PcapApi::close)>(&pcap_close),
        As<decltype(PcapApi::breakloop)>(&pcap_breakloop),
        As<decltype(PcapApi::get_selectable_fd)>(&pcap_get_selectable_fd),
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,  // the Windows-only calls
        As<decltype(PcapApi::setdirection)>(&pcap_setdirection),
    };
    return &api;
}

}  // namespace wp
