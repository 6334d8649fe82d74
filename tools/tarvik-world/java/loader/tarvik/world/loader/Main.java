// The stand-in Fabric loader: the main class of the world's loader profile.
// It marks that it ran and hands over to the game's main class, which the
// launcher put on the same classpath.
package tarvik.world.loader;

public final class Main {
    private Main() {}

    public static void main(String[] args) throws Exception {
        System.setProperty("tarvik.world.loader.started", "started");
        Class.forName("tarvik.world.game.Main").getMethod("main", String[].class)
                .invoke(null, (Object) args);
    }
}
