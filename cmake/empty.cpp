// Intentionally empty: the extension module is assembled from kalvo_extension_objects.
