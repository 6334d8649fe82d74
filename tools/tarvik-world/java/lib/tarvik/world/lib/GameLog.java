// The stand-in game's log, in a library jar of its own: the game can only
// write its log when the launcher put this jar on the classpath. Every line
// goes to "logs/latest.log" in the working folder and to standard output.
package tarvik.world.lib;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.LocalTime;
import java.time.format.DateTimeFormatter;

public final class GameLog {
    private static final DateTimeFormatter TIME = DateTimeFormatter.ofPattern("HH:mm:ss");
    private final PrintWriter file;

    private GameLog(PrintWriter file) {
        this.file = file;
    }

    // Starts "logs/latest.log" afresh in the working folder.
    public static GameLog open() throws IOException {
        Path logs = Paths.get("logs").toAbsolutePath();
        Files.createDirectories(logs);
        return new GameLog(new PrintWriter(
                Files.newBufferedWriter(logs.resolve("latest.log"), StandardCharsets.UTF_8), true));
    }

    public synchronized void info(String message) {
        String line = "[" + LocalTime.now().format(TIME) + "] [main/INFO]: " + message;
        file.println(line);
        System.out.println(line);
        System.out.flush();
    }
}
