// What `await dock.begin(.hidden)` costs its caller on the main actor: how long the main actor
// is held before it can run anything else, measured by a block queued on the main queue
// just before the call, which runs as soon as the call has suspended. (A thread's CPU
// clock cannot follow it: on Linux the main queue is served by any of dispatch's threads
// once the main thread has handed it over.) Beside it, the whole await, the blocking
// begin, which holds its caller for all of its work, and `dock.state` read on another
// thread meanwhile, which never waits for those calls. The first cycle warms up and is
// left out. Runs in a scratch HOME; off macOS only, since a begin there would
// hide the real Dock.
//
// Usage: async_begin_bench AGENT [CYCLES]
import Dispatch
import DockRestore
import Foundation

func now() -> Double { Double(DispatchTime.now().uptimeNanoseconds) / 1e3 }

func row(_ what: String, _ samples: [Double]) -> String {
    let sorted = samples.dropFirst().sorted()
    return String(format: "| %@ | %.1f µs | %.1f µs | %.1f µs |", what, sorted[sorted.count / 2],
                  sorted[sorted.count * 99 / 100], sorted.last!)
}

@MainActor final class Probe {
    var freed = 0.0
}

// Reads `dock.state` on a thread of its own, over and over, until finished.
final class StateReader: @unchecked Sendable {
    private let lock = NSLock()
    private let done = DispatchSemaphore(value: 0)
    private var stop = false  // under lock
    private var samples: [Double] = []  // under lock

    init(_ dock: DockRestoreOwner) {
        Thread.detachNewThread {
            var samples: [Double] = []
            while !self.lock.withLock({ self.stop }) {
                let start = now()
                _ = dock.state
                samples.append(now() - start)
                usleep(100)
            }
            self.lock.withLock { self.samples = samples }
            self.done.signal()
        }
    }

    func finish() -> [Double] {
        lock.withLock { stop = true }
        done.wait()
        return lock.withLock { samples }
    }
}

let arguments = CommandLine.arguments
guard arguments.count >= 2 else {
    FileHandle.standardError.write(Data("usage: async_begin_bench AGENT [CYCLES]\n".utf8))
    exit(64)
}
let cycles = arguments.count > 2 ? Int(arguments[2]) ?? 200 : 200
let home = FileManager.default.temporaryDirectory.appendingPathComponent("dock-async-bench-\(UUID().uuidString)")
try FileManager.default.createDirectory(at: home, withIntermediateDirectories: true)
setenv("HOME", home.path, 1)
unsetenv("XDG_CONFIG_HOME")
let dock = try DockRestoreOwner(snapshot: home.appendingPathComponent("snapshot.plist"), domain: "com.example.bench",
                                agent: URL(fileURLWithPath: arguments[1]))

@MainActor func asyncBegins() async throws -> (held: [Double], wall: [Double]) {
    let probe = Probe()
    var held: [Double] = [], wall: [Double] = []
    for _ in 0..<cycles {
        let start = now()
        DispatchQueue.main.async { MainActor.assumeIsolated { probe.freed = now() } }
        try await dock.begin(.hidden)
        wall.append(now() - start)
        held.append(probe.freed - start)
        try await dock.end()
    }
    return (held, wall)
}
let (held, asyncWall) = try await asyncBegins()

// The blocking twin from a plain function: the caller is held until begin is done. The
// state is read meanwhile, while begins and ends run back to back.
func syncBegins() throws -> (wall: [Double], states: [Double]) {
    let reader = StateReader(dock)
    let wall = try (0..<cycles).map { _ in
        let start = now()
        try dock.beginBlocking(.hidden)
        let elapsed = now() - start
        try dock.endBlocking()
        return elapsed
    }
    return (wall, reader.finish())
}
let (syncWall, states) = try syncBegins()
try? FileManager.default.removeItem(at: home)

var load = [0.0]
getloadavg(&load, 1)
print("\(cycles) cycles, load average \(String(format: "%.1f", load[0])) at the end\n")
print("| the caller | median | 99th percentile | worst |\n|---|---|---|---|")
print(row("`await dock.begin(.hidden)` on the main actor: held until it can run something else", held))
print(row("`await dock.begin(.hidden)`: until it returns, the main actor free meanwhile", asyncWall))
print(row("`try dock.beginBlocking(.hidden)`: held until it returns", syncWall))
print(row("`dock.state` on another thread, while begins and ends run back to back", states))
