#include "fake_service.h"

#include "group_prime.h"

#include <algorithm>
#include <cstdio>
#include <gcrypt.h>
#include <gtest/gtest.h>

namespace {

constexpr const char *kServicePath = "/org/freedesktop/secrets";

bool is_alnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The daemon's path element for an identifier, written out independently
// of the library's own encoder.
std::string element_for(const std::string &identifier) {
    std::string element;
    for (unsigned char c : identifier) {
        char escaped[4];
        snprintf(escaped, sizeof escaped, "_%02x", c);
        element += is_alnum(c) ? std::string(1, static_cast<char>(c)) : escaped;
    }
    return element;
}

GVariant *boxed(GVariant *value) {
    return g_variant_new("(v)", value);
}

std::vector<guint8> hmac_sha256(const std::vector<guint8> &key, const std::vector<guint8> &data) {
    std::vector<guint8> out(32);
    size_t size = out.size();
    gcry_mac_hd_t mac = nullptr;
    gcry_mac_open(&mac, GCRY_MAC_HMAC_SHA256, 0, nullptr);
    gcry_mac_setkey(mac, key.data(), key.size());
    gcry_mac_write(mac, data.data(), data.size());
    gcry_mac_read(mac, out.data(), &size);
    gcry_mac_close(mac);
    return out;
}

// The service's private exponent, so its public value is 2^3.
constexpr unsigned kExponent = 3;

// The client's value to the service's exponent, modulo the group's prime.
std::vector<guint8> shared_secret(const std::vector<guint8> &client_value) {
    gcry_mpi_t prime = nullptr;
    gcry_mpi_t value = nullptr;
    gcry_mpi_scan(&prime, GCRYMPI_FMT_HEX, kGroupPrimeHex, 0, nullptr);
    gcry_mpi_scan(&value, GCRYMPI_FMT_USG, client_value.data(), client_value.size(), nullptr);
    gcry_mpi_t exponent = gcry_mpi_set_ui(nullptr, kExponent);
    gcry_mpi_powm(value, value, exponent, prime);
    std::vector<guint8> shared(128);
    size_t written = 0;
    gcry_mpi_print(GCRYMPI_FMT_USG, shared.data(), shared.size(), &written, value);
    shared.resize(written);
    for (gcry_mpi_t number : {prime, value, exponent})
        gcry_mpi_release(number);
    return shared;
}

// The session key for a shared secret: HKDF-SHA256 without salt or info,
// one block, the first 16 bytes.
std::vector<guint8> session_key(std::vector<guint8> shared) {
    shared.insert(shared.begin(), 128 - std::min<size_t>(shared.size(), 128), 0);
    auto prk = hmac_sha256(std::vector<guint8>(32, 0), shared);
    auto okm = hmac_sha256(prk, {1});
    okm.resize(16);
    return okm;
}

} // namespace

namespace {

// A connection of its own to the session bus; null, and the test failed,
// when there is none.
GDBusConnection *connect_to_bus() {
    g_autoptr(GError) error = nullptr;
    g_autofree char *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    GDBusConnection *bus = nullptr;
    if (address != nullptr)
        bus = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
    if (bus == nullptr)
        ADD_FAILURE() << "no session bus: " << error->message;
    return bus;
}

void disconnect(GDBusConnection *bus) {
    if (bus == nullptr)
        return;
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
}

} // namespace

FakeService::FakeService() : bus_(connect_to_bus()), forger_(connect_to_bus()) {
    public_value.push_back(1 << kExponent);
    gcry_check_version(nullptr);
    if (bus_ == nullptr || forger_ == nullptr)
        return;
    g_dbus_connection_add_filter(bus_, filter, this, nullptr);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) owned = g_dbus_connection_call_sync(
        bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.secrets", 4), nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (owned == nullptr)
        ADD_FAILURE() << "cannot own the service's name: " << error->message;
}

FakeService::~FakeService() {
    reset();
    disconnect(bus_);
    disconnect(forger_);
}

void FakeService::reset() {
    std::vector<std::thread> answering;
    {
        std::lock_guard lock(mutex_);
        answering.swap(answering_);
    }
    for (auto &thread : answering)
        thread.join();
    std::lock_guard lock(mutex_);
    keyrings_.clear();
    for (auto &call : log_)
        g_clear_pointer(&call.params, g_variant_unref);
    log_.clear();
    default_alias = std::string("/"); // GCC 12 at -O3 misreads an assigned literal (-Wrestrict)
    algorithms = {"plain", "dh-ietf1024-sha256-aes128-cbc-pkcs7"};
    public_value = std::vector<guint8>(127, 0);
    public_value.push_back(1 << kExponent);
    client_value_.clear();
    ivs.clear();
    script = nullptr;
    after = nullptr;
}

void FakeService::add(const std::string &element, FakeKeyring keyring) {
    std::lock_guard lock(mutex_);
    keyrings_.emplace_back(element, std::move(keyring));
}

std::vector<std::string> FakeService::elements() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const auto &[element, keyring] : keyrings_)
        found.push_back(element);
    return found;
}

std::optional<FakeKeyring> FakeService::keyring(const std::string &element) {
    std::lock_guard lock(mutex_);
    for (const auto &[at, keyring] : keyrings_) {
        if (at == element)
            return keyring;
    }
    return std::nullopt;
}

std::vector<std::string> FakeService::calls() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto &call : log_)
        names.push_back(call.name());
    return names;
}

ServiceCall FakeService::call(const std::string &name) {
    std::lock_guard lock(mutex_);
    for (const auto &call : log_) {
        if (call.name() == name)
            return call;
    }
    ADD_FAILURE() << "no call " << name;
    return {};
}

// Runs in the connection's worker thread, for every message that arrives.
GDBusMessage *FakeService::filter(GDBusConnection *, GDBusMessage *message, gboolean incoming,
                                  gpointer data) {
    auto &self = *static_cast<FakeService *>(data);
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return message;
    GVariant *body = g_dbus_message_get_body(message);
    ServiceCall call{g_dbus_message_get_path(message), g_dbus_message_get_interface(message) ?: "",
                     g_dbus_message_get_member(message),
                     body != nullptr ? g_variant_ref(body) : nullptr};
    std::optional<ServiceAnswer> scripted;
    if (self.script)
        scripted = self.script(call);
    ServiceAnswer answer = scripted ? *scripted : self.answer(call);
    {
        std::lock_guard lock(self.mutex_);
        self.log_.push_back(call);
    }
    if (answer.forged) {
        send_answer(self.forger_, message, answer);
        // The service answers once the forged answer has reached the
        // client: the bus hands on a connection's messages in order, so it
        // has once it answers the forger. Waiting blocks, so not here, in
        // the bus's own thread.
        ServiceAnswer own = self.answer(call);
        std::lock_guard lock(self.mutex_);
        self.answering_.emplace_back([&self, own, call_message = g_object_ref(message)] {
            g_autoptr(GVariant) id = g_dbus_connection_call_sync(
                self.forger_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus", "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                nullptr, nullptr);
            send_answer(self.bus_, call_message, own);
            g_object_unref(call_message);
        });
    } else {
        send_answer(self.bus_, message, answer);
    }
    if (!scripted && self.after)
        self.after(call);
    g_object_unref(message);
    return nullptr;
}

void FakeService::send_answer(GDBusConnection *from, GDBusMessage *call, ServiceAnswer answer) {
    if (answer.silent) {
        if (answer.body != nullptr)
            g_variant_unref(g_variant_ref_sink(answer.body));
        return;
    }
    g_autoptr(GDBusMessage) reply = nullptr;
    if (!answer.error.empty()) {
        reply = g_dbus_message_new_method_error_literal(call, answer.error.c_str(),
                                                        "said the fake service");
    } else {
        reply = g_dbus_message_new_method_reply(call);
        if (answer.body != nullptr)
            g_dbus_message_set_body(reply, answer.body);
    }
    g_dbus_connection_send_message(from, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
}

ServiceAnswer FakeService::answer(const ServiceCall &call) {
    const std::string method = call.interface + "." + call.method;
    if (method == "org.freedesktop.DBus.Properties.GetAll")
        return {g_variant_new_parsed("(@a{sv} {},)")}; // of the password interface: none
    if (call.interface == "org.freedesktop.DBus.Properties")
        return answer_property(call);
    if (method == "org.freedesktop.Secret.Service.ReadAlias")
        return {g_variant_new("(o)", default_alias.c_str())};
    if (method == "org.freedesktop.Secret.Service.SetAlias") {
        const char *path = nullptr;
        g_variant_get(call.params, "(&s&o)", nullptr, &path);
        std::string_view element = path;
        if (!element.starts_with(kPrefix) ||
            !keyring(std::string(element.substr(std::string_view(kPrefix).size()))))
            return {nullptr, "org.freedesktop.Secret.Error.NoSuchObject"};
        default_alias = path;
        return {g_variant_new("()")};
    }
    if (method == "org.freedesktop.Secret.Service.OpenSession") {
        const char *algorithm = nullptr;
        g_autoptr(GVariant) input = nullptr;
        g_variant_get(call.params, "(&sv)", &algorithm, &input);
        if (std::ranges::find(algorithms, algorithm) == algorithms.end())
            return {nullptr, "org.freedesktop.DBus.Error.NotSupported"};
        if (std::string(algorithm) == "plain")
            return {g_variant_new("(vo)", g_variant_new_string(""),
                                  "/org/freedesktop/secrets/session/s0")};
        gsize size = 0;
        const auto *bytes = static_cast<const guint8 *>(g_variant_get_fixed_array(input, &size, 1));
        client_value_.assign(bytes, bytes + size);
        GVariant *output = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, public_value.data(),
                                                     public_value.size(), 1);
        return {g_variant_new("(vo)", output, "/org/freedesktop/secrets/session/s1")};
    }
    if (method == "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface."
                  "CreateWithMasterPassword")
        return create(call.params);

    std::lock_guard lock(mutex_);
    const std::string prefix = kPrefix;
    if (method == "org.freedesktop.Secret.Service.Lock") {
        GVariantBuilder locked;
        g_variant_builder_init(&locked, G_VARIANT_TYPE("ao"));
        g_autoptr(GVariantIter) paths = nullptr;
        const char *path = nullptr;
        g_variant_get(call.params, "(ao)", &paths);
        while (g_variant_iter_next(paths, "&o", &path)) {
            for (auto &[element, keyring] : keyrings_) {
                if (prefix + element == path) {
                    keyring.locked = true;
                    g_variant_builder_add(&locked, "o", path);
                }
            }
        }
        return {g_variant_new("(ao@o)", &locked, g_variant_new_object_path("/"))};
    }
    if (method == "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface."
                  "UnlockWithMasterPassword") {
        const char *path = nullptr;
        g_autoptr(GVariant) secret = nullptr;
        g_variant_get(call.params, "(&o@(oayays))", &path, &secret);
        auto password = decrypt(secret);
        for (auto &[element, keyring] : keyrings_) {
            if (prefix + element != path)
                continue;
            if (!password || *password != keyring.password)
                return {nullptr, "org.gnome.keyring.Error.Denied"};
            keyring.locked = false;
            return {g_variant_new("()")};
        }
        return {nullptr, "org.freedesktop.Secret.Error.NoSuchObject"};
    }
    auto at = std::ranges::find_if(
        keyrings_, [&](const auto &entry) { return prefix + entry.first == call.path; });
    if (at == keyrings_.end())
        return {nullptr, "org.freedesktop.DBus.Error.UnknownMethod"};
    if (method == "org.freedesktop.Secret.Collection.Delete") {
        keyrings_.erase(at);
        return {g_variant_new("(o)", "/")};
    }
    return {nullptr, "org.freedesktop.DBus.Error.UnknownMethod"};
}

ServiceAnswer FakeService::answer_property(const ServiceCall &call) {
    const char *property = "";
    g_variant_get(call.params, "(&s&s)", nullptr, &property);
    std::lock_guard lock(mutex_);
    if (call.path == kServicePath) {
        GVariantBuilder paths;
        g_variant_builder_init(&paths, G_VARIANT_TYPE("ao"));
        for (const auto &[element, keyring] : keyrings_)
            g_variant_builder_add(&paths, "o", (kPrefix + element).c_str());
        GVariant *collections = g_variant_builder_end(&paths);
        if (std::string(property) == "Collections")
            return {boxed(collections)};
        g_variant_unref(g_variant_ref_sink(collections));
        return {nullptr, "org.freedesktop.DBus.Error.InvalidArgs"};
    }
    for (const auto &[element, keyring] : keyrings_) {
        if (kPrefix + element != call.path)
            continue;
        const std::string name = property;
        if (name == "Label")
            return {boxed(g_variant_new_string(keyring.label.c_str()))};
        if (name == "Locked")
            return {boxed(g_variant_new_boolean(keyring.locked))};
        if (name == "Created")
            return {boxed(g_variant_new_uint64(keyring.created))};
        if (name == "Modified")
            return {boxed(g_variant_new_uint64(keyring.modified))};
        return {nullptr, "org.freedesktop.DBus.Error.InvalidArgs"};
    }
    return {nullptr, "org.freedesktop.DBus.Error.UnknownMethod"};
}

// The daemon's identifier for a label: unsafe characters made '_', then
// the lowest free "_N" while the identifier is taken.
std::string FakeService::free_element(const std::string &label) {
    std::string identifier = label;
    for (char &c : identifier) {
        if (std::string_view(" /\\:<>|\t\n").find(c) != std::string_view::npos)
            c = '_';
    }
    auto taken = [&](const std::string &element) {
        return std::ranges::any_of(keyrings_,
                                   [&](const auto &entry) { return entry.first == element; });
    };
    std::string element = element_for(identifier);
    for (int n = 1; taken(element); n++)
        element = element_for(identifier + "_" + std::to_string(n));
    return element;
}

ServiceAnswer FakeService::create(GVariant *params) {
    g_autoptr(GVariant) properties = g_variant_get_child_value(params, 0);
    g_autoptr(GVariant) secret = g_variant_get_child_value(params, 1);
    const char *label = "";
    g_variant_lookup(properties, "org.freedesktop.Secret.Collection.Label", "&s", &label);
    std::lock_guard lock(mutex_);
    auto password = decrypt(secret);
    if (!password)
        return {nullptr, "org.freedesktop.DBus.Error.InvalidArgs"};
    std::string element = free_element(label);
    keyrings_.emplace_back(element, FakeKeyring{label, false, 1, 1, *password});
    return {g_variant_new("(o)", (kPrefix + element).c_str())};
}

std::optional<std::string> FakeService::decrypt(GVariant *secret) {
    const char *session = nullptr;
    g_autoptr(GVariant) iv = nullptr;
    g_autoptr(GVariant) ciphertext = nullptr;
    g_variant_get(secret, "(&o@ay@ays)", &session, &iv, &ciphertext, nullptr);
    gsize iv_size = 0;
    gsize size = 0;
    const void *iv_bytes = g_variant_get_fixed_array(iv, &iv_size, 1);
    const void *bytes = g_variant_get_fixed_array(ciphertext, &size, 1);
    if (client_value_.empty() || iv_size != 16 || size == 0 || size % 16 != 0)
        return std::nullopt;
    ivs.emplace_back(static_cast<const char *>(iv_bytes), iv_size);
    auto key = session_key(shared_secret(client_value_));
    std::string plain(size, '\0');
    gcry_cipher_hd_t cipher = nullptr;
    gcry_cipher_open(&cipher, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 0);
    gcry_cipher_setkey(cipher, key.data(), key.size());
    gcry_cipher_setiv(cipher, iv_bytes, iv_size);
    bool ok = gcry_cipher_decrypt(cipher, plain.data(), size, bytes, size) == 0;
    gcry_cipher_close(cipher);
    auto pad = static_cast<unsigned char>(plain.back());
    if (!ok || pad == 0 || pad > 16 ||
        plain.find_first_not_of(static_cast<char>(pad), size - pad) != std::string::npos)
        return std::nullopt;
    plain.resize(size - pad);
    return plain;
}
