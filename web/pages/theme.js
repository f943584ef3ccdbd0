// The high-contrast theme for a screen in the sun: as the system asks (prefers-contrast) until
// the user chooses on this device. Loaded before the page is drawn, so the other theme never
// flashes by.
'use strict';
function contrastWanted() {
  let stored = null;
  try { stored = localStorage.getItem('frontpanel-contrast'); } catch (e) { /* storage off */ }
  return stored !== null ? stored === 'more' : matchMedia('(prefers-contrast: more)').matches;
}
function chooseContrast(more) {
  try { localStorage.setItem('frontpanel-contrast', more ? 'more' : 'less'); } catch (e) { /* storage off */ }
  document.documentElement.classList.toggle('contrast', more);
}
document.documentElement.classList.toggle('contrast', contrastWanted());
