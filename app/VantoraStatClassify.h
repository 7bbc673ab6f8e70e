// Visitor classification: the text rules that group visitors of the report
// tables by browser, country, referring host and remote domain.  They work on
// the texts stored with each visitor (Agent, HostName, Referrer).
//
// All are pure functions of their arguments, safe on any thread.  Each takes
// the default that its caller wants where the rule finds nothing.  Results are
// parts of visitor-supplied text: escape them before writing them into a page.
#pragma once

#include <string>
#include <string_view>

namespace vantora {

// The browser of a user agent.  "Mozilla/4.0 (compatible; MSIE 5.5; Windows
// 98)" gives "MSIE 5.5" (the text after "compatible;" up to the next ';' or
// ')'); "Mozilla/4.7 [en] (Win98; I)" gives "Mozilla/4.7" (the text up to and
// including the first blank, '[' or '(', trimmed, so "Opera(Windows)" gives
// "Opera(").  An empty agent, one without any of these characters, or a name
// that trims to nothing gives default_name.
std::string BrowserName(const std::string& agent, const std::string& default_name);

// The browser family of a user agent, for the family table: "Chrome",
// "Firefox", "Safari", "Edge", "Opera", "Samsung Internet", "Internet
// Explorer", "Other browsers", "Crawlers" (Googlebot, bingbot, YandexBot and
// every agent that names a bot, spider or crawler or gives an information
// address "+http...") or "Scripted clients" (curl, Wget, python-requests and
// other HTTP libraries).  Browsers on phones and tablets are marked with
// " (mobile)": "Chrome (mobile)".  An empty agent gives default_family.
// Browsers built on another's engine name themselves after it in the agent
// ("Edg/", "OPR/", "SamsungBrowser/" beside "Chrome/ ... Safari/"), so the
// more specific names are looked for first.
std::string BrowserFamily(std::string_view agent, const std::string& default_family);

// The user agent as the visitor file keeps it, in at most `size` characters.
// An agent that fits is kept whole; a longer one is cut to its beginning,
// like before, unless the cut would lose what tells its browser family (the
// product names of today's browsers come late in their agents): then its
// beginning is kept with that product name (and " Mobile") appended, so that
// BrowserFamily of the stored text equals that of the whole agent, and
// BrowserName, which reads the first word, is unchanged.
std::string StoredAgent(const std::string& agent, size_t size);

// The last label of a host name: the text after its last '.' (at most 255
// characters); empty when there is no '.'.  "pc7.example.de" gives "de".
std::string DomainSuffix(const std::string& host_name);

// The country (or kind of network) of a domain suffix, compared ignoring
// case: "de" gives "Germany", "gov" "Government", "uk" and "gb" "Great
// Britain"; a suffix outside the table gives default_name.
std::string CountryName(const std::string& suffix, const std::string& default_name);

// The host of a referrer address: the text after "://" (when present) up to
// the first '/' and then the first '\'.  A result of 4 characters or fewer, or
// one containing an apostrophe, gives default_host.
// "http://example.com/a/b.htm" gives "example.com".
std::string ReferringHost(const std::string& referrer, const std::string& default_host);

// The domain of a host name: its last two labels when the last has at most
// three characters ("dialup12.city.example.com" gives "example.com",
// "a.b.co.uk" gives "co.uk"; trailing dots are ignored).  Numeric addresses,
// names with parentheses or without a dot, and names whose last label has
// four or more characters give default_domain.  A referrer-style "scheme://"
// prefix and a path are cut off first.
std::string RemoteDomain(const std::string& host_name, const std::string& default_domain);

// The same rules for callers that only read the result, without copies: the
// result is a part of the argument, the default itself or (CountryNameView)
// a name of the program's own table, so it lives as long as they do.
std::string_view BrowserNameView(std::string_view agent, std::string_view default_name);
std::string_view DomainSuffixView(std::string_view host_name);
std::string_view CountryNameView(std::string_view suffix, std::string_view default_name);
std::string_view ReferringHostView(std::string_view referrer, std::string_view default_host);
std::string_view RemoteDomainView(std::string_view host_name, std::string_view default_domain);

}  // namespace vantora
