// DNS-SD through Avahi. The client is made with AVAHI_CLIENT_NO_FAIL, so a daemon that is not
// running yet is waited for on the poll thread; a daemon that goes away still fails the client
// (disconnected), which is then made again on the poll thread to wait for the next daemon. The
// entry group is (re)built each time the client reaches the running state. Everything that
// touches the client after the poll thread started does so under the poll's lock.
#include "net/dnssd.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <cstring>

#include "config/log.h"
#include "kit/json.h"
#include "net/station.h"
#include "platform/text.h"

struct StationDnsSd {
  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  char name[kDnsSdNameBytes * 2] = "";  // the instance name now in use (Avahi's alternative after a collision)
  char an[32] = "";
  char dev[64] = "";
  AvahiStringList* txt = nullptr;
  uint16_t port = 0;
  bool said_unreachable = false;       // poll thread only
  AvahiTimeout* remake = nullptr;      // makes the client again after the daemon left; poll thread
  std::atomic<bool> advertised{false};
};

namespace {

void register_service(StationDnsSd* d);
void client_callback(AvahiClient* c, AvahiClientState state, void* user);

// Outside the failed client's own callback: it and its group go, and a new client waits for a
// daemon to come.
void remake_client(AvahiTimeout* t, void* user) {
  auto* d = static_cast<StationDnsSd*>(user);
  const AvahiPoll* api = avahi_threaded_poll_get(d->poll);
  api->timeout_update(t, nullptr);
  if (d->client) avahi_client_free(d->client);  // frees the group with it
  d->client = nullptr;
  d->group = nullptr;
  int error = 0;
  if (!avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, client_callback, d, &error))
    log_line("lmstream: avahi: %s - serving unannounced", avahi_strerror(error));
}

void group_callback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* user) {
  auto* d = static_cast<StationDnsSd*>(user);
  d->group = g;
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      d->advertised.store(true);
      log_line("lmstream: advertised %s as %s - %s", kStationServiceType, d->an, d->dev);
      break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
      char* alt = avahi_alternative_service_name(d->name);
      log_line("lmstream: the name '%s' is taken on the network - now '%s'", d->name, alt);
      text_copy(d->name, alt);
      avahi_free(alt);
      d->advertised.store(false);
      avahi_entry_group_reset(g);
      register_service(d);
      break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
      d->advertised.store(false);
      log_line("lmstream: DNS-SD register failed (%lu)",
               static_cast<unsigned long>(-avahi_client_errno(avahi_entry_group_get_client(g))));
      log_line("lmstream: avahi: %s", avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
      break;
    default:
      break;
  }
}

void register_service(StationDnsSd* d) {
  if (!d->group) d->group = avahi_entry_group_new(d->client, group_callback, d);
  int rc = d->group ? 0 : avahi_client_errno(d->client);
  if (rc == 0)
    rc = avahi_entry_group_add_service_strlst(d->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                              d->name, kStationServiceType, nullptr, nullptr, d->port, d->txt);
  if (rc == AVAHI_ERR_COLLISION) {
    // Taken locally already (another station of ours): the alternative right away.
    char* alt = avahi_alternative_service_name(d->name);
    log_line("lmstream: the name '%s' is taken on the network - now '%s'", d->name, alt);
    text_copy(d->name, alt);
    avahi_free(alt);
    avahi_entry_group_reset(d->group);
    register_service(d);
    return;
  }
  if (rc == 0) rc = avahi_entry_group_commit(d->group);
  if (rc != 0) {
    log_line("lmstream: DnsServiceRegister: %lu", static_cast<unsigned long>(-rc));
    log_line("lmstream: avahi: %s", avahi_strerror(rc));
  }
}

void client_callback(AvahiClient* c, AvahiClientState state, void* user) {
  auto* d = static_cast<StationDnsSd*>(user);
  d->client = c;
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      d->said_unreachable = false;
      if (!d->group || avahi_entry_group_is_empty(d->group)) register_service(d);
      break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The host name changes: the service goes up again once the daemon is running.
      d->advertised.store(false);
      if (d->group) avahi_entry_group_reset(d->group);
      break;
    case AVAHI_CLIENT_CONNECTING:
      d->advertised.store(false);
      if (!d->said_unreachable) {
        log_line("lmstream: DnsServiceRegister: %lu", static_cast<unsigned long>(-AVAHI_ERR_NO_DAEMON));
        log_line("lmstream: avahi: %s - serving unannounced until it comes", avahi_strerror(AVAHI_ERR_NO_DAEMON));
        d->said_unreachable = true;
      }
      break;
    case AVAHI_CLIENT_FAILURE: {
      d->advertised.store(false);
      log_line("lmstream: DNS-SD register failed (%lu)", static_cast<unsigned long>(-avahi_client_errno(c)));
      log_line("lmstream: avahi: %s", avahi_strerror(avahi_client_errno(c)));
      if (avahi_client_errno(c) != AVAHI_ERR_DISCONNECTED) break;
      // The daemon left (stopped, restarted, updated): wait for the next one.
      const AvahiPoll* api = avahi_threaded_poll_get(d->poll);
      const struct timeval now{0, 0};
      if (d->remake) api->timeout_update(d->remake, &now);
      else d->remake = api->timeout_new(api, &now, remake_client, d);
      break;
    }
  }
}

}  // namespace

size_t dnssd_instance_name(const char* an, const char* dev, char* out, size_t cap) {
  char cut[64];
  text_copy(cut, dev);
  size_t dev_len = strlen(cut);
  for (;;) {
    cut[dev_len] = 0;
    const size_t n = text_format(out, cap, "%s \xC2\xB7 %s", an, cut);
    if (n < size_t(kDnsSdNameBytes) || dev_len == 0) return n;
    // One byte shorter, then back to the start of the character it lands in.
    --dev_len;
    while (dev_len > 0 && (uint8_t(cut[dev_len]) & 0xC0) == 0x80) --dev_len;
  }
}

StationDnsSd* dnssd_register(const StationIdentity& id, uint16_t port) {
  auto* d = new StationDnsSd;
  text_copy(d->an, id.an);
  text_copy(d->dev, id.dev);
  d->port = port;
  char name[kDnsSdNameBytes * 2];
  dnssd_instance_name(id.an, id.dev, name, sizeof name);
  // Avahi refuses invalid UTF-8 in names and TXT values.
  utf8_copy_valid(d->name, sizeof d->name, name, strlen(name), nullptr);
  char app[32], an[32], kind[16], dev[64], sid[9];
  utf8_copy_valid(app, sizeof app, id.app, strnlen(id.app, sizeof id.app), nullptr);
  utf8_copy_valid(an, sizeof an, id.an, strnlen(id.an, sizeof id.an), nullptr);
  utf8_copy_valid(kind, sizeof kind, id.kind, strnlen(id.kind, sizeof id.kind), nullptr);
  utf8_copy_valid(dev, sizeof dev, id.dev, strnlen(id.dev, sizeof id.dev), nullptr);
  utf8_copy_valid(sid, sizeof sid, id.sid, strnlen(id.sid, sizeof id.sid), nullptr);
  char p_app[48], p_an[48], p_kind[32], p_dev[80], p_sid[16];
  text_format(p_app, sizeof p_app, "app=%s", app);
  text_format(p_an, sizeof p_an, "an=%s", an);
  text_format(p_kind, sizeof p_kind, "kind=%s", kind);
  text_format(p_dev, sizeof p_dev, "dev=%s", dev);
  text_format(p_sid, sizeof p_sid, "sid=%s", sid);
  // Announced in this order.
  d->txt = avahi_string_list_new("lm=1", "v=1", p_app, p_an, p_kind, p_dev, p_sid, "codec=pcm16", "ch=2",
                                 "rate=48000", "os=linux", nullptr);
  d->poll = avahi_threaded_poll_new();
  if (!d->poll || !d->txt) {
    log_line("lmstream: DnsServiceConstructInstance failed");
    dnssd_withdraw(d);
    return nullptr;
  }
  int error = 0;
  d->client = avahi_client_new(avahi_threaded_poll_get(d->poll), AVAHI_CLIENT_NO_FAIL, client_callback, d, &error);
  if (!d->client) {
    log_line("lmstream: DnsServiceRegister: %lu", static_cast<unsigned long>(-error));
    log_line("lmstream: avahi: %s", avahi_strerror(error));
    dnssd_withdraw(d);
    return nullptr;
  }
  if (avahi_threaded_poll_start(d->poll) < 0) {
    log_line("lmstream: DnsServiceConstructInstance failed");
    dnssd_withdraw(d);
    return nullptr;
  }
  return d;
}

void dnssd_withdraw(StationDnsSd* d) {
  if (!d) return;
  if (d->poll) avahi_threaded_poll_stop(d->poll);  // joins the poll thread: no callback runs after this
  if (d->remake) avahi_threaded_poll_get(d->poll)->timeout_free(d->remake);
  if (d->group) avahi_entry_group_free(d->group);
  if (d->client) avahi_client_free(d->client);
  if (d->poll) avahi_threaded_poll_free(d->poll);
  if (d->txt) avahi_string_list_free(d->txt);
  delete d;
}

bool dnssd_advertised(const StationDnsSd* d) { return d && d->advertised.load(); }
