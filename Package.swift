// swift-tools-version:6.0
// The owner library, its Swift interface and the agent, for the Swift Package Manager.
// CMake stays the primary build; both compile the same files under src/, listed here
// by target as CMakeLists.txt lists them. On macOS the platform backend is
// CoreFoundation and nothing else; elsewhere it is the portable reader and store, with
// the system's utf8proc. The Swift targets build in the Swift 6 language mode.
//
// A platform condition on a target dependency only decides what is linked: Xcode's build
// system (and SwiftUI previews) may still compile a target that only other platforms
// depend on. So every target compiles everywhere: the portable sources compile to nothing
// on Apple systems, CoreFoundation's to nothing unless DOCK_RESTORE_WITH_COREFOUNDATION is
// defined, and each link setting carries the condition of the dependency it serves.
import PackageDescription

// Where the portable backend serves, and where CoreFoundation does.
let portablePlatforms: [Platform] = [.linux, .android, .openbsd]
let applePlatforms: [Platform] = [.macOS]

// Every C++ target compiles files of the shared tree, found from the package's root.
// Each has a module map of its own under Sources/: dock_restore.h for CDockRestore,
// none for the rest, whose headers stay in src/.
func cxxTarget(_ name: String, sources: [String], dependencies: [Target.Dependency] = [],
               cxxSettings: [CXXSetting] = [], linkerSettings: [LinkerSetting] = []) -> Target {
    .target(name: name, dependencies: dependencies, path: ".", sources: sources,
            publicHeadersPath: "Sources/\(name)/include",
            cxxSettings: [.headerSearchPath("src"), .headerSearchPath("include")] + cxxSettings,
            linkerSettings: linkerSettings)
}

// The agent's logic and the POSIX half of the platform, for every backend.
let core = cxxTarget("CDockRestoreCore", sources: [
    "src/values/coercions.cpp",
    "src/values/unicode_text.cpp",
    "src/snapshot/snapshot.cpp",
    "src/agent/arguments.cpp",
    "src/agent/run.cpp",
    "src/agent/watch.cpp",
    "src/restore/dock_settings.cpp",
    "src/restore/finish.cpp",
    "src/restore/sessions.cpp",
    "src/platform/owner_watch.cpp",
    "src/platform/posix_platform.cpp",
    "src/platform/regular_file.cpp",
    "src/platform/user_paths.cpp",
    "src/platform/watch_events.cpp",
    "src/platform/native_values.cpp",
], linkerSettings: [.linkedLibrary("m", .when(platforms: portablePlatforms))])

let portable = cxxTarget("CDockRestorePortable", sources: [
    "src/platform/portable/unicode_text_utf8proc.cpp",
    "src/platform/portable/plist_reader.cpp",
    "src/platform/portable/xml_plist_reader.cpp",
    "src/platform/portable/binary_plist_reader.cpp",
    "src/platform/portable/openstep_plist_reader.cpp",
    "src/platform/portable/xml_plist_writer.cpp",
    "src/platform/portable/binary_plist_writer.cpp",
    "src/platform/portable/preferences_store.cpp",
    "src/platform/portable/portable_platform.cpp",
], dependencies: ["CDockRestoreCore"],
   // utf8proc by name: its pkg-config file's -DUTF8PROC_EXPORTS is a flag SwiftPM refuses,
   // and its header is on the default path (Debian: libutf8proc-dev).
   linkerSettings: [.linkedLibrary("utf8proc", .when(platforms: portablePlatforms))])

let coreFoundation = cxxTarget("CDockRestoreCoreFoundation", sources: [
    "src/platform/corefoundation/cf_unicode_text.cpp",
    "src/platform/corefoundation/cf_property_list.cpp",
    "src/platform/corefoundation/cf_platform.cpp",
    "src/platform/corefoundation/cf_owner.cpp",
], dependencies: ["CDockRestoreCore"],
   cxxSettings: [.define("DOCK_RESTORE_WITH_COREFOUNDATION", .when(platforms: applePlatforms))],
   linkerSettings: [.linkedFramework("CoreFoundation", .when(platforms: applePlatforms))])

// What links the agent's code: the logic and the one backend of the platform.
let backend: [Target.Dependency] = [
    "CDockRestoreCore",
    .target(name: "CDockRestorePortable", condition: .when(platforms: portablePlatforms)),
    .target(name: "CDockRestoreCoreFoundation", condition: .when(platforms: applePlatforms)),
]

let package = Package(
    name: "dock-restore-agent",
    platforms: [.macOS(.v11)],
    products: [
        .library(name: "DockRestore", targets: ["DockRestore"]),
        .executable(name: "dock-restore-agent", targets: ["dock-restore-agent"]),
        .executable(name: "dock-restore-inspect", targets: ["dock-restore-inspect"]),
        .executable(name: "dock-restore-recover", targets: ["dock-restore-recover"]),
    ],
    targets: [
        core, portable, coreFoundation,
        // The C interface, dock_restore.h, as the module CDockRestore.
        cxxTarget("CDockRestore", sources: ["src/owner/owner_session.cpp", "src/owner/dock_restore.cpp"],
                  dependencies: backend),
        .target(name: "DockRestore", dependencies: ["CDockRestore"]),
        .executableTarget(name: "dock-restore-agent", dependencies: backend, path: ".",
                          sources: ["src/agent/main.cpp"], cxxSettings: [.headerSearchPath("src")]),
        .executableTarget(name: "dock-restore-inspect", dependencies: backend, path: ".",
                          sources: ["src/owner/snapshot_report.cpp"], cxxSettings: [.headerSearchPath("src")]),
        .executableTarget(name: "dock-restore-recover", dependencies: backend, path: ".",
                          sources: ["src/owner/recover_main.cpp", "src/owner/stale_sessions.cpp"],
                          cxxSettings: [.headerSearchPath("src")]),
        // The example owner in Swift, which the end-to-end tests drive like examples/owner.c.
        .executableTarget(name: "dock-restore-example-owner-swift", dependencies: ["DockRestore"], path: "examples",
                          exclude: ["owner.c", "owner.py", "demo.py", "macos"], sources: ["owner.swift"]),
        .testTarget(name: "DockRestoreTests", dependencies: ["DockRestore"]),
    ],
    swiftLanguageModes: [.v6],
    cxxLanguageStandard: .cxx20
)
