# The settings page in Debian's headless Chromium (driven by chromedriver through
# python3-selenium) against the real lpr-webd and lpr-settingsd of the release build:
# load, change and save both groups, a refusal shown at its input, a viewer's read-only
# page, a clean console; screenshots of both groups, wide and narrow, into
# build/release/browser-screenshots (docs/ui.md shows the committed ones). See
# docs/testing.md.

stage_browser() {
  ./scripts/deps.sh build browser
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$JOBS" --target lpr-webd lpr-settingsd
  # Debian's interpreter: python3-selenium is installed for it, not for any other
  # python3 first on PATH.
  LPR_BUILD_DIR=build/release timeout 300 /usr/bin/python3 tests/browser/settings_page_test.py
}
