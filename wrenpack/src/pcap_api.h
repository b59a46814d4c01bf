// The part of the capture library's C interface the driver uses, declared here so that the
// Windows build needs no capture-library headers: it finds the library at run time. The
// layouts are the library's own on each platform (its timeval has the platform's `long`).
#ifndef WP_PCAP_API_H
#define WP_PCAP_API_H

#include <stdint.h>

#include <string>

struct sockaddr;

namespace wp {

struct pcap_t_wp;  // opaque capture handle

struct pcap_timeval_wp {
    long tv_sec;
    long tv_usec;
};

struct pcap_pkthdr_wp {
    pcap_timeval_wp ts;
    uint32_t caplen;
    uint32_t len;
};

struct pcap_addr_wp {
    pcap_addr_wp* next;
    sockaddr* addr;
    sockaddr* netmask;
    sockaddr* broadaddr;
    sockaddr* dstaddr;
};

struct pcap_if_wp {
    pcap_if_wp* next;
    char* name;
    char* description;
    pcap_addr_wp* addresses;
    uint32_t flags;
};

// Same layout as the library's bpf_program and WP_BPF_PROGRAM.
struct bpf_program_wp {
    unsigned int bf_len;
    const void* bf_insns;
};

struct pcap_send_queue_wp;

typedef void (*pcap_handler_wp)(unsigned char* user, const pcap_pkthdr_wp* header, const unsigned char* bytes);

constexpr int kErrbufSize = 256;

// Functions marked optional are null where the library lacks them, or where calling them would
// abort the process (Wine's library exports some that it does not implement).
struct PcapApi {
    int (*findalldevs)(pcap_if_wp** devices, char* errbuf);
    void (*freealldevs)(pcap_if_wp* devices);
    pcap_t_wp* (*create)(const char* device, char* errbuf);
    int (*set_snaplen)(pcap_t_wp*, int);
    int (*set_promisc)(pcap_t_wp*, int);
    int (*set_timeout)(pcap_t_wp*, int);
    int (*set_buffer_size)(pcap_t_wp*, int);
    int (*set_immediate_mode)(pcap_t_wp*, int);  // optional
    int (*activate)(pcap_t_wp*);
    int (*setfilter)(pcap_t_wp*, bpf_program_wp*);
    int (*setnonblock)(pcap_t_wp*, int, char* errbuf);
    int (*dispatch)(pcap_t_wp*, int count, pcap_handler_wp, unsigned char* user);
    int (*next_ex)(pcap_t_wp*, pcap_pkthdr_wp** header, const unsigned char** data);
    int (*sendpacket)(pcap_t_wp*, const unsigned char* frame, int length);
    char* (*geterr)(pcap_t_wp*);
    const char* (*statustostr)(int);
    void (*close)(pcap_t_wp*);
    void (*breakloop)(pcap_t_wp*);
    int (*get_selectable_fd)(pcap_t_wp*);                        // Linux only
    int (*setbuff)(pcap_t_wp*, int);                              // Windows only
    int (*setmintocopy)(pcap_t_wp*, int);                         // optional, Windows
    void* (*getevent)(pcap_t_wp*);                                // optional, Windows: a HANDLE
    pcap_send_queue_wp* (*sendqueue_alloc)(unsigned int memsize);  // optional, Windows
    void (*sendqueue_destroy)(pcap_send_queue_wp*);
    int (*sendqueue_queue)(pcap_send_queue_wp*, const pcap_pkthdr_wp*, const unsigned char*);
    unsigned int (*sendqueue_transmit)(pcap_t_wp*, pcap_send_queue_wp*, int sync);
    int (*setdirection)(pcap_t_wp*, int direction);  // Linux only
};

// Directions of setdirection: only frames that came in, only frames the host sent.
constexpr int kDirectionIn = 1, kDirectionOut = 2;

// The platform's capture library, or nullptr with the reason in `why`.
const PcapApi* LoadPcap(std::string& why);

}  // namespace wp

#endif
