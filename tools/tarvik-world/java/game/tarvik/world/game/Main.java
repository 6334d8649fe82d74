// The stand-in game of the local world: logs what it received (its arguments
// with the access token hidden, the JVM options, the mods in its folder, the
// server to join) into "logs/latest.log" of its working folder and to
// standard output, then keeps running like a game until it is closed or the
// seconds given by the system property "tarvik.world.seconds" have passed.
package tarvik.world.game;

import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;
import tarvik.world.lib.GameLog;

public final class Main {
    private Main() {}

    private static String option(String[] args, String name) {
        for (int i = 0; i + 1 < args.length; i++) {
            if (args[i].equals(name)) {
                return args[i + 1];
            }
        }
        return null;
    }

    public static void main(String[] args) throws Exception {
        GameLog log = GameLog.open();
        log.info("Stand-in game " + option(args, "--version") + " is starting");
        log.info("Player: " + option(args, "--username") + " (" + option(args, "--uuid") + ")");
        String loader = System.getProperty("tarvik.world.loader");
        if (loader != null) {
            log.info("Loaded by the stand-in Fabric loader " + loader + " ("
                    + System.getProperty("tarvik.world.loader.started", "not started") + ")");
        }
        List<String> shown = new ArrayList<>();
        for (int i = 0; i < args.length; i++) {
            boolean secret = i > 0 && args[i - 1].equals("--accessToken");
            shown.add(secret ? "<hidden>" : args[i]);
        }
        log.info("Arguments: " + String.join(" ", shown));
        log.info("JVM options: " + String.join(" ",
                ManagementFactory.getRuntimeMXBean().getInputArguments()));
        log.info("Java " + System.getProperty("java.version") + ", working folder "
                + Paths.get("").toAbsolutePath());

        Path mods = Paths.get("mods");
        List<String> jars = new ArrayList<>();
        if (Files.isDirectory(mods)) {
            try (Stream<Path> files = Files.list(mods)) {
                files.map(p -> p.getFileName().toString()).filter(n -> n.endsWith(".jar"))
                        .sorted().forEach(jars::add);
            }
        }
        log.info("Mods (" + jars.size() + "): " + (jars.isEmpty() ? "none" : String.join(", ", jars)));

        String server = option(args, "--quickPlayMultiplayer");
        if (server == null && option(args, "--server") != null) {
            server = option(args, "--server") + ":" + option(args, "--port");
        }
        log.info(server == null ? "Playing alone" : "Joining server " + server);

        Runtime.getRuntime().addShutdownHook(new Thread(() -> log.info("Stopping: the game was closed")));
        int seconds = Integer.getInteger("tarvik.world.seconds", 20);
        log.info("Running for " + seconds + " s");
        Thread.sleep(seconds * 1000L);
        log.info("Stopping: the time is up");
        Runtime.getRuntime().halt(0);
    }
}
