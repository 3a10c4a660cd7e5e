// The tech allowlist: exactly the documented entries, matched whole and case-sensitively.
#include "velk/tech_allowlist.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <string_view>

namespace velk {
namespace {

// The documented entries, one each, by group.
constexpr std::array<std::string_view, 420> kDocumentedEntries = {
    // Programming languages, shells and data formats
    "TypeScript", "JavaScript", "Python", "Swift", "Kotlin", "Rust", "Go", "Java", "Ruby", "Bash",
    "Shell", "SQL", "HTML", "CSS", "JSON", "YAML", "Markdown",
    // Web platform interfaces
    "FileSystem", "FileSystemEntry", "FileSystemFileEntry", "FileSystemDirectoryEntry",
    "FileSystemDirectoryReader", "FileSystemHandle", "FileSystemFileHandle",
    "FileSystemDirectoryHandle", "DataTransfer", "DataTransferItem", "DataTransferItemList",
    "DragEvent", "MouseEvent", "KeyboardEvent", "PointerEvent", "FocusEvent", "InputEvent",
    "WheelEvent", "TouchEvent", "CustomEvent", "AbortController", "AbortSignal", "AbortError",
    "FileReader", "FileList", "BlobPart", "FormData", "URLSearchParams", "TextEncoder",
    "TextDecoder", "ReadableStream", "WritableStream", "TransformStream",
    "ReadableStreamDefaultReader", "WritableStreamDefaultWriter", "WebSocket", "EventSource",
    "EventTarget", "MessageChannel", "MessagePort", "ServiceWorker", "SharedWorker",
    "BroadcastChannel", "IntersectionObserver", "MutationObserver", "ResizeObserver",
    "PerformanceObserver", "PerformanceEntry", "HTMLElement", "HTMLDivElement", "HTMLInputElement",
    "HTMLFormElement", "HTMLTextAreaElement", "HTMLButtonElement", "HTMLAnchorElement",
    "HTMLImageElement", "HTMLCanvasElement", "HTMLSelectElement", "HTMLOptionElement",
    "HTMLScriptElement", "HTMLStyleElement", "HTMLLinkElement", "HTMLMetaElement",
    "HTMLBodyElement", "HTMLHeadElement", "HTMLTitleElement", "HTMLLabelElement", "HTMLSpanElement",
    "HTMLParagraphElement", "HTMLTableElement", "NodeList", "DOMRect", "DOMTokenList",
    "DOMException", "ShadowRoot", "DocumentFragment", "CSSStyleDeclaration", "CSSStyleSheet",
    "CSSRule", "IDBDatabase", "IDBObjectStore", "IDBTransaction", "IDBKeyRange", "IDBCursor",
    "CryptoKey", "SubtleCrypto", "AudioContext", "AudioBuffer", "AudioNode",
    "AudioBufferSourceNode", "MediaStream", "MediaStreamTrack", "MediaRecorder",
    "RTCPeerConnection", "RTCDataChannel", "RTCSessionDescription", "WebGLRenderingContext",
    "WebGL2RenderingContext", "CanvasRenderingContext2D", "OffscreenCanvas",
    // Script-language built-in objects and errors
    "Promise", "Array", "Object", "Symbol", "Iterator", "AsyncIterator", "Generator",
    "AsyncGenerator", "WeakMap", "WeakSet", "WeakRef", "ArrayBuffer", "SharedArrayBuffer",
    "DataView", "Int8Array", "Uint8Array", "Uint8ClampedArray", "Int16Array", "Uint16Array",
    "Int32Array", "Uint32Array", "Float32Array", "Float64Array", "BigInt64Array", "BigUint64Array",
    "BigInt", "RegExp", "TypeError", "RangeError", "SyntaxError", "ReferenceError", "EvalError",
    "URIError", "AggregateError",
    // Server-side script runtime types
    "EventEmitter", "Buffer", "BufferEncoding", "NodeJS", "ChildProcess", "Readable", "Writable",
    "Duplex", "PassThrough",
    // UI-library types
    "ReactNode", "ReactElement", "ReactPortal", "ReactFragment", "PropsWithChildren",
    "PropsWithRef", "FunctionComponent", "ComponentType", "ComponentProps", "ComponentClass",
    "ForwardRefRenderFunction", "ForwardedRef", "LegacyRef", "MutableRefObject", "RefObject",
    "RefCallback", "SyntheticEvent", "ChangeEvent", "FormEvent", "CSSProperties", "HTMLProps",
    "HTMLAttributes", "InputHTMLAttributes", "ButtonHTMLAttributes", "TextareaHTMLAttributes",
    "AnchorHTMLAttributes", "ImgHTMLAttributes", "FormHTMLAttributes", "LabelHTMLAttributes",
    "SelectHTMLAttributes", "OptionHTMLAttributes", "DetailedHTMLProps", "AriaAttributes",
    "AriaRole", "SetStateAction", "Dispatch", "DispatchWithoutAction", "EffectCallback",
    "DependencyList",
    // Systems-language standard-library types
    "HashMap", "HashSet", "BTreeMap", "BTreeSet", "VecDeque", "BinaryHeap", "LinkedList", "PathBuf",
    "OsString", "OsStr", "CString", "CStr", "PhantomData", "PhantomPinned", "ManuallyDrop",
    "UnsafeCell", "RefCell", "OnceCell", "LazyCell", "OnceLock", "LazyLock", "AtomicBool",
    "AtomicI8", "AtomicI16", "AtomicI32", "AtomicI64", "AtomicU8", "AtomicU16", "AtomicU32",
    "AtomicU64", "AtomicUsize", "AtomicIsize", "NonNull", "NonZeroI8", "NonZeroI16", "NonZeroI32",
    "NonZeroI64", "NonZeroU8", "NonZeroU16", "NonZeroU32", "NonZeroU64", "NonZeroUsize",
    "TcpStream", "TcpListener", "UdpSocket", "SocketAddr", "BufReader", "BufWriter", "BufRead",
    "AsyncRead", "AsyncWrite", "JoinHandle", "JoinSet", "ThreadId", "SystemTime", "Instant",
    "Duration", "UNIX_EPOCH", "BoxError", "DynError", "AnyhowError",
    // Products, platforms, companies and services
    "GitHub", "Docker", "Postgres", "PostgreSQL", "Redis", "MongoDB", "MySQL", "React", "NextJS",
    "Node", "Vite", "Webpack", "Tailwind", "Parcel", "Xcode", "VSCode", "Homebrew", "Nix", "iOS",
    "macOS", "Ubuntu", "Linux", "Android", "Windows", "Sonoma", "Sequoia", "MacBook", "iPhone",
    "iPad", "AppleWatch", "Silicon", "Intel", "Apple", "Google", "Microsoft", "Amazon", "Meta",
    "Netflix", "Spotify", "Dropbox", "iCloud", "Drive", "Gmail", "Discord", "Slack", "Notion",
    "Obsidian", "Jira", "Linear", "YouTube", "LinkedIn", "Twitter", "Reddit", "Claude", "ChatGPT",
    "Copilot", "Cursor", "Gemini", "OpenAI", "Anthropic", "Ollama", "LLMs", "Llama", "Sonnet",
    "Haiku",
    // Acronyms, roles and business terms
    "MCP", "RRF", "NER", "HNSW", "GIN", "SSO", "APIs", "WiFi", "VPN", "VPNs", "IPsec", "EMEA",
    "APAC", "HVAC", "Director", "Manager", "Engineer", "Product", "Corporate", "Strategy",
    "Management", "Marketing", "Design", "Finance", "Operations", "FinTech", "SaaS", "PaaS", "IaaS",
    "B2B", "B2C", "API",
    // Command-line tools (lower case)
    "ssh", "curl", "node", "grep", "tail", "kill", "launchctl", "brew", "git", "npm", "ping", "cat",
    "ls", "rm", "cp", "mv", "sudo", "chmod", "chown",
    // Hardware model shorthands
    "MBP", "M1", "M2", "M3", "M4",
    // Weekdays and months
    "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday", "January",
    "February", "March", "April", "June", "July", "August", "September", "October", "November",
    "December",
    // Other common words
    "English", "Weather", "Storm", "Phase", "Code", "Push", "Hand", "Chip", "Store", "Cloud",
    "Vault", "Volumes", "Library", "Logs", "Users", "Maine", "Coon", "Ford", "Sync", "Finder",
    "Bonjour"};

TEST(TechAllowlist, HoldsExactlyTheDocumentedEntries) {
  const std::set<std::string_view> expected(kDocumentedEntries.begin(), kDocumentedEntries.end());
  ASSERT_EQ(expected.size(), 420u) << "the documented list itself repeats an entry";
  const std::set<std::string_view> actual(tech_allowlist().begin(), tech_allowlist().end());
  for (std::string_view entry : expected) {
    EXPECT_TRUE(actual.contains(entry)) << "missing: " << entry;
  }
  for (std::string_view entry : actual) {
    EXPECT_TRUE(expected.contains(entry)) << "not documented: " << entry;
  }
  EXPECT_EQ(tech_allowlist().size(), 420u);
}

TEST(TechAllowlist, EveryEntryMatchesByContentNotByAddress) {
  for (std::string_view entry : kDocumentedEntries) {
    const std::string copy(entry);  // a different buffer with the same bytes
    EXPECT_TRUE(is_tech_term(copy)) << entry;
  }
}

TEST(TechAllowlist, MembershipIsExactAndCaseSensitive) {
  const struct {
    std::string_view text;
    bool member;
  } cases[] = {
      {"JavaScript", true},
      {"javascript", false},
      {"JAVASCRIPT", false},
      {" JavaScript", false},
      {"JavaScript ", false},
      {"JavaScriptX", false},
      {"Java", true},  // an entry that is a prefix of another matches only itself
      {"git", true},
      {"npm", true},
      {"Git", false},
      {"NPM", false},
      {"May", false},  // the one month that is not an entry
      {"may", false},
      {"Postgres", true},
      {"PostgreSQL", true},
      {"Postgresql", false},
      {"VPN", true},
      {"VPNs", true},
      {"VPNS", false},
      {"API", true},
      {"APIs", true},
      {"Apis", false},
      {"Node", true},
      {"NodeJS", true},
      {"NodeJs", false},
      {"node", true},  // the command-line tool, in lower case
      {"nodejs", false},
      {"Drive", true},
      {"Sync", true},
      {"UNIX_EPOCH", true},
      {"", false},
      {std::string_view("Go\0", 3), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_tech_term(c.text), c.member) << "text: \"" << c.text << "\"";
  }
}

TEST(TechAllowlist, ElevenMonthsAndSevenWeekdaysAreEntries) {
  for (std::string_view month : {"January", "February", "March", "April", "June", "July", "August",
                                 "September", "October", "November", "December"}) {
    EXPECT_TRUE(is_tech_term(month)) << month;
  }
  for (std::string_view day :
       {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"}) {
    EXPECT_TRUE(is_tech_term(day)) << day;
  }
}

TEST(TechAllowlist, CommandNamesAreEntriesOnlyInLowerCase) {
  for (std::string_view tool :
       {"ssh", "curl", "node", "grep", "tail", "kill", "launchctl", "brew", "git", "npm", "ping",
        "cat", "ls", "rm", "cp", "mv", "sudo", "chmod", "chown"}) {
    EXPECT_TRUE(is_tech_term(tool)) << tool;
    std::string capitalised(tool);
    capitalised[0] = static_cast<char>(capitalised[0] - 'a' + 'A');
    // "Node" is an entry of its own, as the product name.
    EXPECT_EQ(is_tech_term(capitalised), capitalised == "Node") << capitalised;
  }
}

}  // namespace
}  // namespace velk
