// Linux body of the firewall facts: the nftables rule set as `nft -j list ruleset`
// prints it, read for rules that drop or reject the asked ports.
#include "platform/firewall.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr size_t kMaxRuleset = 8u << 20;  // a rule set past this is read in part
constexpr int kNftWaitMs = 2000;

// ---- a small JSON reader: values as nodes, children linked in order ----
enum JType { J_NULL, J_BOOL, J_NUM, J_STR, J_ARR, J_OBJ };
struct JNode {
  JType type;
  double num;
  size_t str, len;  // string value (into the text), escapes left in: nft names need none
  size_t key, klen;  // member name, for members of an object
  int first = -1, next = -1;
};

class Json {
 public:
  explicit Json(const std::string& t) : t_(t) {}
  int parse() {
    int root = value(0);
    return depth_ok_ ? root : -1;
  }
  const JNode& at(int i) const { return n_[static_cast<size_t>(i)]; }
  bool is(int i, const char* s) const {
    if (i < 0 || at(i).type != J_STR) return false;
    return at(i).len == std::strlen(s) && t_.compare(at(i).str, at(i).len, s) == 0;
  }
  std::string text(int i) const { return i >= 0 && at(i).type == J_STR ? t_.substr(at(i).str, at(i).len) : ""; }
  int member(int obj, const char* name) const {
    if (obj < 0 || at(obj).type != J_OBJ) return -1;
    for (int c = at(obj).first; c >= 0; c = at(c).next)
      if (at(c).klen == std::strlen(name) && t_.compare(at(c).key, at(c).klen, name) == 0) return c;
    return -1;
  }
  // The single member of {"name": value}: its name through *name.
  int only(int obj, std::string* name) const {
    if (obj < 0 || at(obj).type != J_OBJ || at(obj).first < 0) return -1;
    int c = at(obj).first;
    *name = t_.substr(at(c).key, at(c).klen);
    return c;
  }

 private:
  void blank() {
    while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\n' || t_[p_] == '\t' || t_[p_] == '\r')) ++p_;
  }
  bool string_at(size_t* start, size_t* len) {
    if (p_ >= t_.size() || t_[p_] != '"') return false;
    *start = ++p_;
    while (p_ < t_.size() && t_[p_] != '"') p_ += t_[p_] == '\\' ? 2 : 1;
    if (p_ >= t_.size()) return false;
    *len = p_++ - *start;
    return true;
  }
  int add(JType type) {
    n_.push_back(JNode{type, 0, 0, 0, 0, 0});
    return static_cast<int>(n_.size() - 1);
  }
  int value(int depth) {
    if (depth > 64) {
      depth_ok_ = false;
      return -1;
    }
    blank();
    if (p_ >= t_.size()) return -1;
    char c = t_[p_];
    if (c == '{' || c == '[') {
      int me = add(c == '{' ? J_OBJ : J_ARR);
      char close = c == '{' ? '}' : ']';
      ++p_;
      int last = -1;
      for (;;) {
        blank();
        if (p_ < t_.size() && t_[p_] == close) {
          ++p_;
          return me;
        }
        size_t k = 0, kl = 0;
        if (close == '}') {
          if (!string_at(&k, &kl)) return -1;
          blank();
          if (p_ >= t_.size() || t_[p_++] != ':') return -1;
        }
        int child = value(depth + 1);
        if (child < 0) return -1;
        n_[static_cast<size_t>(child)].key = k;
        n_[static_cast<size_t>(child)].klen = kl;
        if (last < 0) n_[static_cast<size_t>(me)].first = child;
        else n_[static_cast<size_t>(last)].next = child;
        last = child;
        blank();
        if (p_ < t_.size() && t_[p_] == ',') ++p_;
      }
    }
    if (c == '"') {
      int me = add(J_STR);
      size_t s = 0, l = 0;
      if (!string_at(&s, &l)) return -1;
      n_[static_cast<size_t>(me)].str = s;
      n_[static_cast<size_t>(me)].len = l;
      return me;
    }
    if (c == 't' || c == 'f' || c == 'n') {
      size_t w = c == 'f' ? 5 : 4;
      p_ += w;
      return add(c == 'n' ? J_NULL : J_BOOL);
    }
    char* end = nullptr;
    double v = std::strtod(t_.c_str() + p_, &end);
    if (end == t_.c_str() + p_) return -1;
    p_ = static_cast<size_t>(end - t_.c_str());
    int me = add(J_NUM);
    n_[static_cast<size_t>(me)].num = v;
    return me;
  }
  const std::string& t_;
  size_t p_ = 0;
  bool depth_ok_ = true;
  std::vector<JNode> n_;
};

// The first asked port the value names (a number, a set of numbers or ranges, a
// range); 0 for none.
int named_port(const Json& j, int v, const int* ports, int nports) {
  if (v < 0) return 0;
  const JNode& n = j.at(v);
  if (n.type == J_NUM) {
    for (int i = 0; i < nports; ++i)
      if (static_cast<int>(n.num) == ports[i]) return ports[i];
    return 0;
  }
  std::string kind;
  int inner = j.only(v, &kind);
  if (kind == "set" && inner >= 0 && j.at(inner).type == J_ARR) {
    for (int c = j.at(inner).first; c >= 0; c = j.at(c).next)
      if (int p = named_port(j, c, ports, nports)) return p;
  } else if (kind == "range" && inner >= 0 && j.at(inner).type == J_ARR) {
    int lo = j.at(inner).first, hi = lo >= 0 ? j.at(lo).next : -1;
    if (lo < 0 || hi < 0 || j.at(lo).type != J_NUM || j.at(hi).type != J_NUM) return 0;
    for (int i = 0; i < nports; ++i)
      if (ports[i] >= j.at(lo).num && ports[i] <= j.at(hi).num) return ports[i];
  }
  return 0;
}

struct Hook {
  std::string family, table, chain, hook;
};

void read_rules(const std::string& text, const int* ports, int nports, PlatFirewall* out) {
  Json j(text);
  int root = j.parse();
  int list = j.member(root, "nftables");
  if (list < 0 || j.at(list).type != J_ARR) {
    out->state = PLAT_FW_REFUSED;
    out->error = EBADMSG;
    return;
  }
  std::vector<Hook> hooks;
  for (int e = j.at(list).first; e >= 0; e = j.at(e).next) {
    std::string what;
    int c = j.only(e, &what);
    if (what == "chain")
      hooks.push_back(Hook{j.text(j.member(c, "family")), j.text(j.member(c, "table")),
                           j.text(j.member(c, "name")), j.text(j.member(c, "hook"))});
  }
  for (int e = j.at(list).first; e >= 0; e = j.at(e).next) {
    std::string what;
    int r = j.only(e, &what);
    int exprs = j.member(r, "expr");
    if (what != "rule" || exprs < 0 || j.at(exprs).type != J_ARR) continue;
    bool blocks = false;
    int port = 0, tcp = 0, udp = 0;
    for (int x = j.at(exprs).first; x >= 0; x = j.at(x).next) {
      std::string verb;
      int body = j.only(x, &verb);
      if (verb == "drop" || verb == "reject") blocks = true;
      if (verb != "match") continue;
      int op = j.member(body, "op");
      if (op >= 0 && !j.is(op, "==") && !j.is(op, "in")) continue;  // a negation names the others
      int payload = j.member(j.member(body, "left"), "payload");
      int field = j.member(payload, "field");
      if (!j.is(field, "dport") && !j.is(field, "sport")) continue;
      int p = named_port(j, j.member(body, "right"), ports, nports);
      if (!p) continue;
      port = p;
      int proto = j.member(payload, "protocol");
      tcp |= j.is(proto, "tcp") || j.is(proto, "th");
      udp |= j.is(proto, "udp") || j.is(proto, "th");
    }
    if (!blocks || !port) continue;
    std::string family = j.text(j.member(r, "family")), table = j.text(j.member(r, "table")),
                chain = j.text(j.member(r, "chain"));
    std::string hook;
    for (const Hook& h : hooks)
      if (h.family == family && h.table == table && h.chain == chain) hook = h.hook;
    if (hook == "forward") continue;  // traffic through this computer, not to or from it
    if (out->count < PLAT_FW_RULES) {
      PlatFirewallRule& f = out->rules[out->count];
      std::snprintf(f.name, sizeof f.name, "%s %s %s #%d", family.c_str(), table.c_str(), chain.c_str(),
                    static_cast<int>(j.at(j.member(r, "handle")).num));
      f.inbound = hook != "output";
      f.tcp = tcp;
      f.udp = udp;
      f.port = port;
    }
    ++out->count;
  }
  if (out->count > PLAT_FW_RULES) out->count = PLAT_FW_RULES;
}

// nft on the usual system paths or PATH; "" when there is none.
std::string find_nft() {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin";
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find(':', at);
    if (end == std::string::npos) end = path.size();
    std::string cand = path.substr(at, end - at) + "/nft";
    if (end > at && access(cand.c_str(), X_OK) == 0) return cand;
    at = end + 1;
  }
  return "";
}

}  // namespace

int plat_firewall_read(const int* ports, int nports, const char* /*program*/, PlatFirewall* out) {
  std::memset(out, 0, sizeof *out);
  std::string nft = find_nft();
  if (nft.empty()) return out->state = PLAT_FW_NO_TOOL;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    out->error = errno;
    return out->state = PLAT_FW_REFUSED;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {nft.c_str(), "-j", "list", "ruleset", nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, nft.c_str(), &fa, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(p[1]);
  if (rc != 0) {
    close(p[0]);
    out->error = rc;
    return out->state = PLAT_FW_REFUSED;
  }
  std::string text;
  char buf[16384];
  for (int waited = 0; waited < kNftWaitMs;) {
    pollfd pf{p[0], POLLIN, 0};
    int r = poll(&pf, 1, 100);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      waited += 100;
      continue;
    }
    ssize_t n = read(p[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (text.size() < kMaxRuleset) text.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) kill(pid, SIGKILL);  // stuck past its time
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    // nft's own word for "not allowed" is its exit code 1 with nothing printed.
    out->error = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return out->state = PLAT_FW_REFUSED;
  }
  read_rules(text, ports, nports, out);
  return out->state;
}
