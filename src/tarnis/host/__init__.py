"""The host layer: what every front of tarnis (the command, Spark, a service) shares."""
