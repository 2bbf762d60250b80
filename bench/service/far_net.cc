// SPDX-License-Identifier: ISC
// A module at the far end of a cable: a second network namespace joined to
// the bench's own by a veth pair. Taking the far end down makes every packet
// towards it vanish (no FIN, no RST, no ICMP): a connect hangs and an open
// stream stays silent, as when the cable is pulled at the module's end.
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service_bench.h"

namespace bench {

namespace {

constexpr const char *NEAR_IF = "bnear0";
constexpr const char *FAR_IF = "bfar0";
constexpr const char *NETMASK = "255.255.255.252";

std::string failed(const std::string &what)
{
	return what + ": " + std::strerror(errno);
}

int open_own_netns()
{
	return open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

// One rtnetlink request with nested attributes, built in place.
class nl_request {
public:
	nl_request(uint16_t type, uint16_t flags)
	{
		auto *h = header();
		h->nlmsg_type = type;
		h->nlmsg_flags = uint16_t(NLM_F_REQUEST | NLM_F_ACK | flags);
		len_ = NLMSG_HDRLEN;
	}
	nlmsghdr *header() { return reinterpret_cast<nlmsghdr *>(buf_); }
	void append(const void *data, size_t n)
	{
		size_t at = NLMSG_ALIGN(len_);
		if (at + n > sizeof(buf_)) {
			overflow_ = true;
			return;
		}
		std::memcpy(buf_ + at, data, n);
		len_ = at + n;
	}
	void attr(uint16_t type, const void *data, size_t n)
	{
		rtattr a{};
		a.rta_len = uint16_t(RTA_LENGTH(n));
		a.rta_type = type;
		append(&a, sizeof(a));
		append(data, n);
	}
	void attr(uint16_t type, const char *text) { attr(type, text, std::strlen(text) + 1); }
	size_t nest(uint16_t type)
	{
		size_t at = NLMSG_ALIGN(len_);
		attr(type, nullptr, 0);
		return at;
	}
	void end(size_t at)
	{
		if (!overflow_)
			reinterpret_cast<rtattr *>(buf_ + at)->rta_len = uint16_t(len_ - at);
	}
	// Sends the request and reads the kernel's acknowledgement.
	std::string send()
	{
		if (overflow_)
			return "netlink request too large";
		header()->nlmsg_len = uint32_t(len_);
		int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
		if (fd < 0)
			return failed("netlink socket");
		sockaddr_nl kernel{};
		kernel.nl_family = AF_NETLINK;
		std::string why;
		alignas(nlmsghdr) unsigned char reply[1024];
		ssize_t n = -1;
		if (sendto(fd, buf_, len_, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof(kernel)) < 0)
			why = failed("netlink send");
		else if ((n = recv(fd, reply, sizeof(reply), 0)) < ssize_t(NLMSG_HDRLEN + sizeof(nlmsgerr)))
			why = n < 0 ? failed("netlink receive") : "short netlink reply";
		close(fd);
		if (!why.empty())
			return why;
		auto *h = reinterpret_cast<nlmsghdr *>(reply);
		if (h->nlmsg_type != NLMSG_ERROR)
			return "unexpected netlink reply";
		int error = static_cast<nlmsgerr *>(NLMSG_DATA(h))->error;
		if (error != 0) {
			errno = -error;
			return failed("netlink");
		}
		return {};
	}

private:
	alignas(nlmsghdr) unsigned char buf_[512] = {};
	size_t len_ = 0;
	bool overflow_ = false;
};

std::string make_veth_pair(int far_ns)
{
	nl_request req(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
	ifinfomsg ifi{};
	ifi.ifi_family = AF_UNSPEC;
	req.append(&ifi, sizeof(ifi));
	req.attr(IFLA_IFNAME, NEAR_IF);
	size_t info = req.nest(IFLA_LINKINFO);
	req.attr(IFLA_INFO_KIND, "veth");
	size_t data = req.nest(IFLA_INFO_DATA);
	size_t peer = req.nest(VETH_INFO_PEER);
	req.append(&ifi, sizeof(ifi));
	req.attr(IFLA_IFNAME, FAR_IF);
	uint32_t ns = uint32_t(far_ns);
	req.attr(IFLA_NET_NS_FD, &ns, sizeof(ns));
	req.end(peer);
	req.end(data);
	req.end(info);
	return req.send();
}

std::string set_flags(int fd, const char *name, bool up)
{
	ifreq ifr{};
	std::snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
	if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0)
		return failed(std::string("flags of ") + name);
	if (up)
		ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP);
	else
		ifr.ifr_flags = short(ifr.ifr_flags & ~IFF_UP);
	if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0)
		return failed(std::string("setting the flags of ") + name);
	return {};
}

std::string set_address(int fd, const char *name, const char *ip)
{
	ifreq ifr{};
	std::snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
	auto *sin = reinterpret_cast<sockaddr_in *>(&ifr.ifr_addr);
	sin->sin_family = AF_INET;
	inet_pton(AF_INET, ip, &sin->sin_addr);
	if (ioctl(fd, SIOCSIFADDR, &ifr) != 0)
		return failed(std::string("address of ") + name);
	inet_pton(AF_INET, NETMASK, &sin->sin_addr);
	if (ioctl(fd, SIOCSIFNETMASK, &ifr) != 0)
		return failed(std::string("netmask of ") + name);
	return set_flags(fd, name, true);
}

// Address, link up and loopback up in the namespace the thread is in; the
// interface's hardware address into mac.
std::string configure(const char *name, const char *ip, unsigned char (&mac)[6])
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return failed("socket");
	std::string why = set_flags(fd, "lo", true);
	if (why.empty())
		why = set_address(fd, name, ip);
	ifreq ifr{};
	std::snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
	if (why.empty() && ioctl(fd, SIOCGIFHWADDR, &ifr) != 0)
		why = failed(std::string("hardware address of ") + name);
	std::memcpy(mac, ifr.ifr_hwaddr.sa_data, sizeof(mac));
	close(fd);
	return why;
}

// A permanent neighbour entry, so that nothing waits on (or gives up after)
// address resolution: with the far end down, packets simply vanish.
std::string pin_neighbour(const char *ip, const unsigned char (&mac)[6])
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return failed("socket");
	arpreq req{};
	auto *pa = reinterpret_cast<sockaddr_in *>(&req.arp_pa);
	pa->sin_family = AF_INET;
	inet_pton(AF_INET, ip, &pa->sin_addr);
	req.arp_ha.sa_family = ARPHRD_ETHER;
	std::memcpy(req.arp_ha.sa_data, mac, sizeof(mac));
	req.arp_flags = ATF_PERM | ATF_COM;
	std::snprintf(req.arp_dev, sizeof(req.arp_dev), "%s", NEAR_IF);
	std::string why = ioctl(fd, SIOCSARP, &req) == 0 ? "" : failed("neighbour entry");
	close(fd);
	return why;
}

} // namespace

far_net::~far_net()
{
	if (far_ >= 0)
		close(far_);
	if (home_ >= 0)
		close(home_);
}

std::string far_net::open()
{
	// Never a veth in the machine's own network: the sandbox's private one
	// is required (where the kernel refused it, the sandbox shares the host's).
	struct stat own = {}, host = {};
	if (stat("/proc/thread-self/ns/net", &own) == 0 && stat("/proc/1/ns/net", &host) == 0 &&
	    own.st_ino == host.st_ino && own.st_dev == host.st_dev)
		return "the sandbox shares this machine's network namespace";
	home_ = open_own_netns();
	if (home_ < 0)
		return failed("opening this network namespace");
	if (unshare(CLONE_NEWNET) != 0)
		return failed("a second network namespace");
	far_ = open_own_netns();
	int far_errno = errno;
	if (setns(home_, CLONE_NEWNET) != 0)
		return failed("back into the bench's network namespace");
	if (far_ < 0) {
		errno = far_errno;
		return failed("opening the second network namespace");
	}
	std::string why = make_veth_pair(far_);
	unsigned char near_mac[6], far_mac[6];
	if (why.empty())
		why = inside([&] { return configure(FAR_IF, far_ip, far_mac); });
	if (why.empty())
		why = configure(NEAR_IF, near_ip, near_mac);
	if (why.empty())
		why = pin_neighbour(far_ip, far_mac);
	return why;
}

std::string far_net::set_far_end(bool up)
{
	return inside([&] {
		int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		if (fd < 0)
			return failed("socket");
		std::string why = set_flags(fd, FAR_IF, up);
		close(fd);
		return why;
	});
}

std::string far_net::enter()
{
	return setns(far_, CLONE_NEWNET) == 0 ? "" : failed("into the second network namespace");
}

std::string far_net::leave()
{
	return setns(home_, CLONE_NEWNET) == 0 ? "" : failed("back into the bench's network namespace");
}

} // namespace bench
