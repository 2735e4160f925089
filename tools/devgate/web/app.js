// devgate's web console (placeholder): lists the site's devices.
fetch("api/site")
  .then((r) => r.json())
  .then((site) => {
    document.getElementById("site").textContent = site.devices.map((d) => d.line + "/" + d.name).join(", ");
  });
