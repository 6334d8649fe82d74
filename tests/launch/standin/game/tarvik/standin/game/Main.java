// The stand-in game client: records what it received (its arguments, the
// JVM's input arguments after the argument file was read, a few system
// properties and a call into the library jar) in "seen.txt" in its game
// folder, one tab-separated record per line, and exits.
package tarvik.standin.game;

import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

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
        Files.write(Paths.get(gameDir, "seen.txt"), out.toString().getBytes(StandardCharsets.UTF_8));
    }
}
