#include "KShadowTransport.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "KLunRecord.h"
#include "LunIdentity.h"

namespace Korvel {

namespace {

const char* const kRoot = "korvel-shadow-copies";
const char* const kChecksumTag = "<sha256>";
constexpr size_t kMaxLunText = 64 * 1024;  // base64 of one LUN record

[[noreturn]] void Fail(const std::string& why) { throw KShadowDocumentError(why); }

// ---- values ---------------------------------------------------------------------
// Every value is ASCII from a small alphabet and bounded, so nothing read can
// be mistaken for markup, a path elsewhere or a registry key's parent.

bool Within(const std::string& text, size_t most, const char* extra) {
    if (text.empty() || text.size() > most) return false;
    for (unsigned char c : text)
        if (!std::isalnum(c) && std::strchr(extra, c) == nullptr) return false;
    return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", uppercase, as the catalogue writes IDs.
bool IsGuid(const std::string& text) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const char c = text[i];
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (c != '-') return false;
        } else if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'A' || c > 'F')) {
            return false;
        }
    }
    return true;
}

// "2026-12-07T10:30:00Z"
bool IsTime(const std::string& text) {
    const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
    return true;
}

bool IsHostName(const std::string& text) { return Within(text, 255, ".-_"); }
bool IsInitiator(const std::string& text) { return text.empty() || Within(text, 223, ".:-_"); }
bool IsDevice(const std::string& text) {
    return text.rfind("/dev/", 0) == 0 && Within(text.substr(5), 64, ".-_") && text != "/dev/." && text != "/dev/..";
}
// "host:port", "[v6]:port": as the appliance is recorded.
bool IsAppliance(const std::string& text) { return Within(text, 270, ".:-_[]"); }
bool IsSnapshot(const std::string& text) { return Within(text, 128, ".-_"); }
bool IsConsistency(const std::string& text) { return text == "filesystem" || text == "application" || text == "crash"; }

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

// Strict: the standard alphabet, padded, no blanks, and the one encoding of its bytes.
bool FromBase64(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() > kMaxLunText || text.size() % 4 != 0) return false;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '=') {
            if (i + 2 < text.size()) return false;
            ++padding;
        } else if (padding != 0 || (!std::isalnum(c) && c != '+' && c != '/')) {
            return false;
        }
    }
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) != out.size()) return false;
    out.resize(out.size() - padding);
    if (Base64(out) != text) return false;
    bytes = std::move(out);
    return true;
}

std::string Sha256Hex(const char* data, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) Fail("SHA-256 is not available");
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

// A LUN record of the document: decoded with the catalogue's checked decoder
// and written back to the very same bytes.
void CheckLun(const std::string& blob, const std::string& what, const std::string& snapshot, bool target) {
    KLunRecord record;
    try {
        record = KLunRecord::Decode(blob);
    } catch (const std::exception& e) {
        Fail(what + " is damaged: " + e.what());
    }
    if (record.Encode() != blob) Fail(what + " is damaged: it is not in its one encoding");
    const VDS_LUN_INFORMATION& info = record.Info();
    if (!IsApplianceVendorId(info.m_szVendorId)) Fail(what + " is not of a Korvel appliance's disk");
    if (target && (info.m_szSerialNumber == nullptr || snapshot != info.m_szSerialNumber))
        Fail(what + " does not name the snapshot " + snapshot);
}

void CheckCopy(const KShadowDocument::Copy& c) {
    const std::string copy = "shadow copy " + c.shadowId;
    if (!IsGuid(c.shadowId)) Fail("a shadow copy's id \"" + c.shadowId + "\" is not a shadow copy ID");
    if (!IsDevice(c.sourceDevice)) Fail("the source device of " + copy + " is not /dev/NAME");
    if (!IsAppliance(c.appliance)) Fail("the appliance of " + copy + " is not an appliance address");
    if (!IsSnapshot(c.snapshot)) Fail("the snapshot of " + copy + " is not an appliance snapshot name");
    if (!IsConsistency(c.consistency))
        Fail("the consistency of " + copy + " is none of \"filesystem\", \"application\" and \"crash\"");
    CheckLun(c.sourceLun, "the source LUN record of " + copy, c.snapshot, false);
    CheckLun(c.targetLun, "the target LUN record of " + copy, c.snapshot, true);
}

void CheckDocument(const KShadowDocument& d) {
    if (!IsGuid(d.setId)) Fail("the snapshot set ID is not one");
    if (!IsTime(d.createdAt)) Fail("the creation time is not a UTC time");
    if (!IsTime(d.exportedAt)) Fail("the export time is not a UTC time");
    if (!IsHostName(d.hostName)) Fail("the creating host's name is not a host name");
    if (!IsInitiator(d.hostInitiator)) Fail("the creating host's initiator name is not an iSCSI name");
    if (d.copies.empty() || d.copies.size() > KShadowDocument::kMaxCopies)
        Fail("it holds " + std::to_string(d.copies.size()) + " shadow copies, not 1 to " +
             std::to_string(KShadowDocument::kMaxCopies));
    std::set<std::string> ids, snapshots;
    for (const KShadowDocument::Copy& c : d.copies) {
        CheckCopy(c);
        if (!ids.insert(c.shadowId).second) Fail("shadow copy " + c.shadowId + " is named twice");
        if (!snapshots.insert(c.appliance + " " + c.snapshot).second)
            Fail("the snapshot " + c.snapshot + " is named twice");
    }
}

// ---- writing --------------------------------------------------------------------

struct WriterDeleter {
    void operator()(xmlTextWriter* w) const { xmlFreeTextWriter(w); }
};
struct BufferDeleter {
    void operator()(xmlBuffer* b) const { xmlBufferFree(b); }
};

class Writer {
public:
    Writer() : m_buffer(xmlBufferCreate()) {
        if (!m_buffer) Fail("out of memory");
        m_writer.reset(xmlNewTextWriterMemory(m_buffer.get(), 0));
        if (!m_writer) Fail("out of memory");
        Check(xmlTextWriterSetIndent(m_writer.get(), 1));
        Check(xmlTextWriterSetIndentString(m_writer.get(), BAD_CAST "  "));
        Check(xmlTextWriterStartDocument(m_writer.get(), "1.0", "UTF-8", nullptr));
    }
    void Start(const char* name) { Check(xmlTextWriterStartElement(m_writer.get(), BAD_CAST name)); }
    void End() { Check(xmlTextWriterEndElement(m_writer.get())); }
    void Attribute(const char* name, const std::string& value) {
        Check(xmlTextWriterWriteAttribute(m_writer.get(), BAD_CAST name, BAD_CAST value.c_str()));
    }
    void Element(const char* name, const std::string& value) {
        Check(xmlTextWriterWriteElement(m_writer.get(), BAD_CAST name, BAD_CAST value.c_str()));
    }
    std::string Finish() {
        Check(xmlTextWriterEndDocument(m_writer.get()));
        m_writer.reset();  // flushes into the buffer
        return std::string(reinterpret_cast<const char*>(xmlBufferContent(m_buffer.get())),
                           static_cast<size_t>(xmlBufferLength(m_buffer.get())));
    }

private:
    static void Check(int result) {
        if (result < 0) Fail("libxml2 could not write the document");
    }
    std::unique_ptr<xmlBuffer, BufferDeleter> m_buffer;
    std::unique_ptr<xmlTextWriter, WriterDeleter> m_writer;
};

std::string Tail(const std::string& checksum) {
    return std::string(kChecksumTag) + checksum + "</sha256>\n</" + kRoot + ">\n";
}

// ---- reading --------------------------------------------------------------------

struct DocDeleter {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct ContextDeleter {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};

std::string Name(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

// The element children of a node, refusing anything else but blanks between them.
std::vector<const xmlNode*> Children(const xmlNode* parent) {
    std::vector<const xmlNode*> children;
    for (const xmlNode* n = parent->children; n != nullptr; n = n->next) {
        if (n->type == XML_ELEMENT_NODE) {
            if (n->ns != nullptr) Fail("the element " + Name(n) + " has a namespace");
            children.push_back(n);
        } else if (n->type != XML_TEXT_NODE || !xmlIsBlankNode(n)) {
            Fail("<" + Name(parent) + "> holds something other than its elements");
        }
    }
    return children;
}

// The attributes, exactly these names.
void OnlyAttributes(const xmlNode* node, const std::set<std::string>& names) {
    size_t count = 0;
    for (const xmlAttr* a = node->properties; a != nullptr; a = a->next, ++count)
        if (a->ns != nullptr || names.count(reinterpret_cast<const char*>(a->name)) == 0)
            Fail("<" + Name(node) + "> has the unknown attribute " + reinterpret_cast<const char*>(a->name));
    if (count != names.size()) Fail("<" + Name(node) + "> lacks an attribute");
}

std::string AttributeOf(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetNoNsProp(node, BAD_CAST name);
    if (value == nullptr) Fail("<" + Name(node) + "> lacks its attribute " + name);
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

// A leaf element's text: one text node, or none for an empty value.
std::string TextOf(const xmlNode* node) {
    OnlyAttributes(node, {});
    const xmlNode* text = node->children;
    if (text == nullptr) return std::string();
    if (text->type != XML_TEXT_NODE || text->next != nullptr || text->content == nullptr)
        Fail("<" + Name(node) + "> holds more than a text");
    return reinterpret_cast<const char*>(text->content);
}

// Walks elements in their fixed order.
class Expect {
public:
    explicit Expect(const xmlNode* parent) : m_parent(Name(parent)), m_children(Children(parent)) {}
    bool Next(const char* name) const { return m_at < m_children.size() && Name(m_children[m_at]) == name; }
    const xmlNode* Take(const char* name) {
        if (!Next(name)) Fail("<" + m_parent + "> lacks <" + name + "> where it belongs");
        return m_children[m_at++];
    }
    std::string Text(const char* name) { return TextOf(Take(name)); }
    void Done() const {
        if (m_at != m_children.size())
            Fail("<" + m_parent + "> holds the unknown element <" + Name(m_children[m_at]) + ">");
    }

private:
    std::string m_parent;
    std::vector<const xmlNode*> m_children;
    size_t m_at = 0;
};

std::string Lun(const std::string& text, const std::string& what) {
    std::string bytes;
    if (!FromBase64(text, bytes))
        Fail(what + " is not base64 of at most " + std::to_string(kMaxLunText) + " characters");
    return bytes;
}

}  // namespace

std::string WriteShadowDocument(KShadowDocument& d) {
    try {
        CheckDocument(d);
    } catch (const KShadowDocumentError& e) {
        Fail(std::string("The document cannot be written: ") + e.what());
    }
    Writer w;
    w.Start(kRoot);
    w.Attribute("format", std::to_string(KShadowDocument::kFormat));
    w.Element("snapshot-set", d.setId);
    w.Element("created-at", d.createdAt);
    w.Element("exported-at", d.exportedAt);
    w.Start("host");
    w.Attribute("name", d.hostName);
    w.Attribute("initiator", d.hostInitiator);
    w.End();
    for (const KShadowDocument::Copy& c : d.copies) {
        w.Start("shadow-copy");
        w.Attribute("id", c.shadowId);
        w.Element("source-device", c.sourceDevice);
        w.Element("appliance", c.appliance);
        w.Element("snapshot", c.snapshot);
        w.Element("consistency", c.consistency);
        w.Element("source-lun", Base64(c.sourceLun));
        w.Element("target-lun", Base64(c.targetLun));
        w.End();
    }
    // A placeholder of the checksum's length, then the checksum over what precedes it.
    const std::string placeholder(64, '0');
    w.Element("sha256", placeholder);
    w.End();
    std::string bytes = w.Finish();
    const size_t at = bytes.rfind(kChecksumTag);
    if (at == std::string::npos || bytes.compare(at, std::string::npos, Tail(placeholder)) != 0)
        Fail("libxml2 wrote the document's end unexpectedly");
    d.checksum = Sha256Hex(bytes.data(), at);
    bytes.replace(at + std::strlen(kChecksumTag), placeholder.size(), d.checksum);
    if (bytes.size() > KShadowDocument::kMaxBytes) Fail("The document would exceed its largest size");
    return bytes;
}

KShadowDocument ReadShadowDocument(const std::string& bytes) {
    if (bytes.size() > KShadowDocument::kMaxBytes)
        Fail("it is larger than a document can be (" + std::to_string(KShadowDocument::kMaxBytes) + " bytes)");
    // NONET and no entity substitution or DTD loading: a document makes the
    // parser fetch nothing; errors are kept, not printed.
    std::unique_ptr<xmlParserCtxt, ContextDeleter> context(xmlNewParserCtxt());
    if (!context) Fail("out of memory");
    std::unique_ptr<xmlDoc, DocDeleter> doc(
        xmlCtxtReadMemory(context.get(), bytes.data(), static_cast<int>(bytes.size()), "document.xml", nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        const xmlError* error = xmlCtxtGetLastError(context.get());
        std::string why = error != nullptr && error->message != nullptr ? error->message : "unknown error";
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        Fail("it is not well-formed XML (line " + std::to_string(error != nullptr ? error->line : 0) + ": " + why +
             ")");
    }
    if (doc->intSubset != nullptr || doc->extSubset != nullptr) Fail("it declares a document type");
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (root == nullptr || Name(root) != kRoot || root->ns != nullptr)
        Fail(std::string("it is not a shadow copy document (<") + kRoot + ">)");
    for (const xmlNode* n = doc->children; n != nullptr; n = n->next)
        if (n != root) Fail("it holds something besides its <" + std::string(kRoot) + "> element");

    // The format first: a later release's document is refused as such, not
    // as damaged.
    OnlyAttributes(root, {"format"});
    const std::string format = AttributeOf(root, "format");
    if (format != std::to_string(KShadowDocument::kFormat))
        Fail("its format \"" + format.substr(0, 16) + "\" is not the one this release reads (" +
             std::to_string(KShadowDocument::kFormat) + ")");

    KShadowDocument d;
    const size_t at = bytes.rfind(kChecksumTag);
    if (at == std::string::npos || bytes.size() - at != Tail(std::string(64, '0')).size())
        Fail("its checksum is missing or not where it belongs, at its end");
    d.checksum = bytes.substr(at + std::strlen(kChecksumTag), 64);
    if (d.checksum.find_first_not_of("0123456789abcdef") != std::string::npos ||
        bytes.compare(at, std::string::npos, Tail(d.checksum)) != 0)
        Fail("its checksum is missing or not where it belongs, at its end");
    if (Sha256Hex(bytes.data(), at) != d.checksum)
        Fail("its checksum does not match its content: the document was altered or damaged");

    Expect top(root);
    d.setId = top.Text("snapshot-set");
    d.createdAt = top.Text("created-at");
    d.exportedAt = top.Text("exported-at");
    const xmlNode* host = top.Take("host");
    OnlyAttributes(host, {"name", "initiator"});
    if (!Children(host).empty() || host->children != nullptr) Fail("<host> holds more than its attributes");
    d.hostName = AttributeOf(host, "name");
    d.hostInitiator = AttributeOf(host, "initiator");
    while (top.Next("shadow-copy")) {
        if (d.copies.size() == KShadowDocument::kMaxCopies)
            Fail("it holds more than " + std::to_string(KShadowDocument::kMaxCopies) + " shadow copies");
        const xmlNode* node = top.Take("shadow-copy");
        OnlyAttributes(node, {"id"});
        KShadowDocument::Copy c;
        c.shadowId = AttributeOf(node, "id");
        Expect copy(node);
        c.sourceDevice = copy.Text("source-device");
        c.appliance = copy.Text("appliance");
        c.snapshot = copy.Text("snapshot");
        c.consistency = copy.Text("consistency");
        c.sourceLun = Lun(copy.Text("source-lun"), "the source LUN record of shadow copy " + c.shadowId);
        c.targetLun = Lun(copy.Text("target-lun"), "the target LUN record of shadow copy " + c.shadowId);
        copy.Done();
        d.copies.push_back(std::move(c));
    }
    top.Take("sha256");
    top.Done();
    CheckDocument(d);
    return d;
}

std::string LoadShadowDocument(const std::string& path) {
    // O_NONBLOCK: a FIFO named by mistake must not hang the command in open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) Fail(std::string("cannot open it: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) Fail(std::string("cannot read it: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) Fail("it is not a regular file");
    if (static_cast<unsigned long long>(st.st_size) > KShadowDocument::kMaxBytes)
        Fail("it is larger than a document can be (" + std::to_string(KShadowDocument::kMaxBytes) + " bytes)");
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(std::string("cannot read it: ") + std::strerror(errno));
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
        // It may grow while it is read.
        if (bytes.size() > KShadowDocument::kMaxBytes)
            Fail("it is larger than a document can be (" + std::to_string(KShadowDocument::kMaxBytes) + " bytes)");
    }
    return bytes;
}

void SaveShadowDocument(const std::string& path, const std::string& bytes) {
    const std::filesystem::path target(path);
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : std::string(".");
    std::string temporary = folder + "/." + target.filename().string() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());  // mode 0600
    if (fd < 0) Fail("cannot write " + path + ": " + folder + ": " + std::strerror(errno));
    auto failed = [&](const std::string& step) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        Fail("cannot write " + path + ": " + step + ": " + std::strerror(error));
    };
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed("write");
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) failed("fsync");
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        Fail("cannot write " + path + ": close: " + std::strerror(error));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        Fail("cannot write " + path + ": " + std::strerror(error));
    }
    // The rename itself is durable only once the folder is.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace Korvel
