// A scripted keyring service on the private session bus the test runs
// under: it answers the client library as gnome-keyring-daemon does, from
// keyrings the test sets up, and any call the test chooses otherwise.
#pragma once

#include <functional>
#include <gio/gio.h>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct FakeKeyring {
    std::string label;
    bool locked = false;
    guint64 created = 0;
    guint64 modified = 0;
    std::string password; // as the service decrypted it
};

// One method call as the service received it.
struct ServiceCall {
    std::string path;
    std::string interface;
    std::string method;
    GVariant *params = nullptr; // owned by the service's log

    std::string name() const { return interface.substr(interface.rfind('.') + 1) + "." + method; }
};

// What to answer: a reply body, or a D-Bus error, or nothing at all.
struct ServiceAnswer {
    GVariant *body = nullptr; // floating or owned; consumed
    std::string error;        // a D-Bus error name
    bool silent = false;
    bool forged = false; // sent by another client of the bus, then the service's own
};

class FakeService {
public:
    static constexpr const char *kPrefix = "/org/freedesktop/secrets/collection/";

    // Connects to the session bus and takes the service's name.
    FakeService();
    ~FakeService();
    FakeService(const FakeService &) = delete;
    FakeService &operator=(const FakeService &) = delete;

    // Forgets every keyring, call and script.
    void reset();

    // Keyrings by path element, in the order Collections lists them.
    void add(const std::string &element, FakeKeyring keyring);
    std::vector<std::string> elements();
    std::optional<FakeKeyring> keyring(const std::string &element);
    std::string default_alias = "/"; // a path, or "/" for none
    std::vector<std::string> algorithms = {"plain", "dh-ietf1024-sha256-aes128-cbc-pkcs7"};
    // The public value the service answers OpenSession with: 2^3, from a
    // private exponent of 3 that lets it read what the client encrypts.
    std::vector<guint8> public_value = std::vector<guint8>(127, 0);

    // Consulted before the daemon-like answer; return an answer to use it.
    std::function<std::optional<ServiceAnswer>(const ServiceCall &)> script;
    // Runs after the daemon-like answer to a call was sent.
    std::function<void(const ServiceCall &)> after;

    // The calls received so far, as "Interface.Method" (last part of the
    // interface name), and the whole record of one.
    std::vector<std::string> calls();
    ServiceCall call(const std::string &name);

private:
    static GDBusMessage *filter(GDBusConnection *, GDBusMessage *message, gboolean incoming,
                                gpointer self);
    ServiceAnswer answer(const ServiceCall &call);
    static void send_answer(GDBusConnection *from, GDBusMessage *call, ServiceAnswer answer);
    ServiceAnswer answer_property(const ServiceCall &call);
    ServiceAnswer create(GVariant *params);
    // The password inside a Secret struct, or nothing when it cannot be read.
    std::optional<std::string> decrypt(GVariant *secret);
    std::string free_element(const std::string &label);

    GDBusConnection *bus_ = nullptr;
    GDBusConnection *forger_ = nullptr;
    std::mutex mutex_;
    std::vector<std::pair<std::string, FakeKeyring>> keyrings_;
    std::vector<ServiceCall> log_;
    std::vector<guint8> client_value_; // of the last session opened
    std::vector<std::thread> answering_; // the service's answers after forged ones

public:
    // Every IV a Secret arrived with.
    std::vector<std::string> ivs;
};
