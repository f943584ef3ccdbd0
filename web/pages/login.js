// Logs in with the password as JSON; the server answers with the session cookie.
'use strict';
document.getElementById('login-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const message = document.getElementById('login-message');
  message.textContent = '';
  try {
    const reply = await fetch('/login', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({
        user: document.getElementById('user').value,
        password: document.getElementById('password').value,
      }),
    });
    if (reply.ok) {
      location.href = '/';
      return;
    }
    const body = await reply.json().catch(() => ({}));
    message.textContent = body.error || ('login failed (' + reply.status + ')');
  } catch (e) {
    message.textContent = 'the server cannot be reached';
  }
});
