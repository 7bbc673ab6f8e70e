# Bitmaps, text and chart images: FreeType draws text, libjpeg writes JPEG.
find_package(Freetype REQUIRED)
find_package(JPEG REQUIRED)
target_link_libraries(vantora_core PUBLIC Freetype::Freetype JPEG::JPEG)
