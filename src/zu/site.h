// The site: the host name that error values carry and its address.
#pragma once

#include "stream/net.h"
#include "text/lchar.h"

// get_zulisp_site (value.h): the site name, found once from the host name.
// The site's address; a host name that does not resolve gives the loopback
// address. Returns 0.
int get_zulisp_site_ip(HOST_ADDR* out);
// The same as an IPv4 address in host order.
int zulisp_site_ipv4();
// Resolves name and makes it the site with its address; -1 (and nothing
// changed) when it does not resolve.
int set_zulisp_site(const char* name);
// A site text that lives as long as the process (error values point to
// their site without owning it): the same text gives the same pointer.
const L_CHAR* zu_intern_site(const L_CHAR* text);
