// A class of the stand-in game's separate library jar: the game calls it, so
// the call only works when the classpath from the argument file is right.
package tarvik.standin.lib;

public final class Greeting {
    private Greeting() {}

    public static String from(String name) {
        return "library greets " + name;
    }
}
