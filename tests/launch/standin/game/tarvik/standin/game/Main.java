// The stand-in game client: records what it received (its arguments, the
// JVM's input arguments after the argument file was read, a few system
// properties and a call into the library jar) in "seen.txt" in its game
// folder, one tab-separated record per line. Then it behaves as the
// environment variable TARVIK_STANDIN_GAME asks: "exit=N" exits with N,
// "flood=M" writes M MiB to standard output first, "linger=MS" keeps running
// for MS milliseconds; without it the game exits at once with 0.
package tarvik.standin.game;

import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;

public final class Main {
    private Main() {}

    public static void main(String[] args) throws Exception {
        String gameDir = null;
        for (int i = 0; i + 1 < args.length; i++) {
            if (args[i].equals("--gameDir")) {
                gameDir = args[i + 1];
            }
        }
        StringBuilder out = new StringBuilder();
        for (String argument : args) {
            out.append("arg\t").append(argument).append('\n');
        }
        for (String argument : ManagementFactory.getRuntimeMXBean().getInputArguments()) {
            out.append("jvm\t").append(argument).append('\n');
        }
        String[] keys = {"tarvik.quoted", "tarvik.injected", "java.class.path", "java.library.path",
                         "minecraft.launcher.brand"};
        for (String key : keys) {
            out.append("prop\t").append(key).append('\t')
               .append(System.getProperty(key, "<unset>")).append('\n');
        }
        out.append("lib\t").append(tarvik.standin.lib.Greeting.from("the game")).append('\n');
        out.append("pid\t").append(ProcessHandle.current().pid()).append('\n');
        Files.write(Paths.get(gameDir, "seen.txt"), out.toString().getBytes(StandardCharsets.UTF_8));

        String mode = System.getenv("TARVIK_STANDIN_GAME");
        if (mode == null) {
            return;
        }
        for (String step : mode.split(",")) {
            String[] pair = step.split("=", 2);
            long value = pair.length > 1 ? Long.parseLong(pair[1]) : 0;
            switch (pair[0]) {
                case "flood": {
                    byte[] line = new byte[1024];
                    Arrays.fill(line, (byte) 'x');
                    line[line.length - 1] = '\n';
                    for (long i = 0; i < value * 1024; i++) {
                        System.out.write(line);
                    }
                    System.out.flush();
                    break;
                }
                case "linger":
                    Thread.sleep(value);
                    break;
                case "exit":
                    System.exit((int) value);
                    break;
                default:
                    break;
            }
        }
    }
}
